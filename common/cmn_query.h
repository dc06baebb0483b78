// The "Add Query" dialog: a SELECT statement on the source and the table name its result is
// stored under, checked before it is accepted and testable against the source.
#pragma once

#include <QDialog>

#include <set>
#include <string>

class QLineEdit;
class QPlainTextEdit;
class velmora_convertor;

class set_query_dlg : public QDialog {
public:
    static constexpr int help_id = 1022;

    set_query_dlg(velmora_convertor& converter, const std::wstring& name, const std::wstring& query,
                  QWidget* owner);

    // After OK: the name as typed and the statement without its leading blanks.
    std::wstring name;
    std::wstring query;

    void on_ok();
    void on_test();

private:
    // Reads the statement into `text` without its leading blanks; true when it is refused
    // because it does not begin with SELECT (an empty statement is not refused).
    bool check_select(std::wstring& text) const;

    velmora_convertor& converter_;
    std::set<wchar_t> blanks_;
    QLineEdit* name_edit_;
    QPlainTextEdit* query_edit_;
};
