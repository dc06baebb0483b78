// The settings and selection pages in the frame: each branch of Next and Back between the MS SQL
// page, the script-file and MySQL pages, the database page and the selection pages (the pages
// other work builds stand in as stubs with their dialog ids).
#include "pages_test_support.h"

#include "GUI2/g_wiz_sh.h"
#include "common/cmn_convs.h"
#include "common/cmn_dump.h"
#include "common/cmn_mysql.h"
#include "common/cmn_tabs.h"
#include "common/cmn_views.h"
#include "tests/support/mysql_test_env.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QLineEdit>
#include <QRadioButton>

namespace {

struct stub_page : wizard_page {
    explicit stub_page(int dialog) : wizard_page(dialog, back | next, 0, "Stub", "Stub") {}
    int on_next() override { return next_answer; }
    int on_back() override { return back_answer; }
    int next_answer = move_on;
    int back_answer = move_on;
};

} // namespace

TEST_F(page_test, NextAndBackFollowTheDestinationKind) {
    const test_support::mysql_test_server mysql = test_support::mysql_server_from_env();
    ASSERT_FALSE(mysql.host.empty());
    auto c = converter();
    c->host = mysql.host;
    c->port = std::to_string(mysql.port);
    c->user = mysql.user;
    c->pswd = mysql.password;
    wizard_shell shell(L"Velmora 8.3");
    auto* source = new stub_page(118);
    auto* databases = new stub_page(106);
    shell.add_page(source);
    shell.add_page(new dump_page(*c));
    shell.add_page(new mysql_settings_page(*c));
    shell.add_page(databases);
    shell.add_page(new conversion_settings(*c));
    shell.add_page(new vlm_sel_tables_page(*c));
    shell.add_page(new vlm_sel_views_page(*c));
    shell.add_page(new stub_page(107));
    shell.show();
    QApplication::processEvents();
    const auto current = [&shell] { return shell.current_wizard_page()->dialog(); };
    const auto press = [&shell](QWizard::WizardButton which) {
        shell.button(which)->click();
        QApplication::processEvents();
    };
    box_answerer boxes;

    // A script file: the options page, then past the MySQL page; its Back is the MS SQL page.
    source->next_answer = dump_page::dialog_id;
    press(QWizard::NextButton);
    ASSERT_EQ(current(), dump_page::dialog_id);
    shell.current_wizard_page()->findChild<QRadioButton*>("1330")->click();
    press(QWizard::NextButton);
    EXPECT_EQ(current(), 106);
    EXPECT_FALSE(c->dump_opts.new_version);
    databases->back_answer = dump_page::dialog_id;
    press(QWizard::BackButton);
    EXPECT_EQ(current(), dump_page::dialog_id);
    press(QWizard::BackButton);
    EXPECT_EQ(current(), 118);

    // A server: the MySQL page connects, then the database page; its Back skips the options.
    source->next_answer = mysql_settings_page::dialog_id;
    press(QWizard::NextButton);
    ASSERT_EQ(current(), mysql_settings_page::dialog_id);
    EXPECT_EQ(shell.current_wizard_page()->findChild<QLineEdit*>("1014")->text().toStdString(),
              mysql.host);
    press(QWizard::NextButton);
    EXPECT_EQ(current(), 106);
    EXPECT_TRUE(c->sql->connected);
    databases->back_answer = mysql_settings_page::dialog_id;
    press(QWizard::BackButton);
    EXPECT_EQ(current(), mysql_settings_page::dialog_id);
    press(QWizard::BackButton);
    EXPECT_EQ(current(), 118);
    EXPECT_TRUE(boxes.texts.empty()) << boxes.texts.join("|").toStdString();

    // On to the tables page; without views to convert Next goes past the views page.
    press(QWizard::NextButton);
    press(QWizard::NextButton);
    ASSERT_EQ(current(), 106);
    press(QWizard::NextButton);
    ASSERT_EQ(current(), conversion_settings::dialog_id);
    shell.current_wizard_page()->findChild<QCheckBox*>("1205")->setChecked(false);
    press(QWizard::NextButton);
    ASSERT_EQ(current(), sel_tables_page::dialog_id);
    auto* tables = dynamic_cast<vlm_sel_tables_page*>(shell.current_wizard_page());
    ASSERT_NE(tables, nullptr);
    tables->on_add_all();
    press(QWizard::NextButton);
    EXPECT_EQ(current(), 107);
    EXPECT_EQ(c->selected_tables.size(), 6u);

    // Views ticked and a server that takes them: the views page comes next.
    shell.go_to(shell.id_of_dialog(conversion_settings::dialog_id));
    QApplication::processEvents();
    ASSERT_EQ(current(), conversion_settings::dialog_id);
    shell.current_wizard_page()->findChild<QCheckBox*>("1205")->setChecked(true);
    press(QWizard::NextButton);
    dynamic_cast<vlm_sel_tables_page*>(shell.current_wizard_page())->on_add_all();
    press(QWizard::NextButton);
    ASSERT_EQ(current(), sel_tables_page::dialog_id);
    EXPECT_NE(shell.current_wizard_page(), tables) << "the views page, the second of dialog 127";
    press(QWizard::NextButton);
    EXPECT_EQ(current(), 107);
}
