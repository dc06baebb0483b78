// Custom conversion rules: a process-wide registry of rules that may supply a column's
// destination type text or a value's converted text before the destinations' own mappings.
#pragma once

#include "TK/tk_singl.h"

#include <memory>
#include <string>
#include <vector>

class t_ftd;
class udb_field;

// One rule. A rule that accepts a column or a value supplies its text for it.
class udb_custom_rule {
public:
    udb_custom_rule() = default;
    virtual ~udb_custom_rule() = default;
    udb_custom_rule(const udb_custom_rule&) = delete;
    udb_custom_rule& operator=(const udb_custom_rule&) = delete;

    // The rule converts this value.
    virtual bool is_acceptable2(const udb_field& field) const = 0;
    // The rule handles this column.
    virtual bool is_acceptable1(const t_ftd& column) const = 0;
    // The value's converted text.
    virtual std::wstring handle2(const udb_field& field) const = 0;
    // The rule's action for a column being created on MS SQL; `arg` is the MS SQL writer's
    // column description.
    virtual void handle1_1(const t_ftd& column, void* arg) const = 0;
    // The column's destination type text.
    virtual std::wstring handle1(const t_ftd& column) const = 0;
};

// The registry, the one instance of its class while it exists. Its operations are static: they
// answer that no rule applies while no registry exists (as in both programs) or it holds no
// rule. Callers ask is_acceptable1/2 first and ask for a text only on a true answer.
class udb_custom_conversion : public tk_singleton<udb_custom_conversion> {
public:
    udb_custom_conversion() = default;
    ~udb_custom_conversion() override = default;

    // Appends a rule; rules are asked in the order they were added.
    void add_rule(std::unique_ptr<udb_custom_rule> rule);

    // Whether some rule accepts the column.
    static bool is_acceptable1(const t_ftd& column);
    // Whether some rule accepts the value.
    static bool is_acceptable2(const udb_field& field);
    // The type text of the first rule that accepts the column; empty when none does.
    static std::wstring handle1(const t_ftd& column);
    // The action of the first rule that accepts the column; nothing when none does.
    static void handle1_1(const t_ftd& column, void* arg);
    // The text of the first rule that accepts the value; empty without rules, and an internal
    // error (udb_rule, 88) when rules exist and none accepts it.
    static std::wstring handle2(const udb_field& field);

private:
    std::vector<std::unique_ptr<udb_custom_rule>> rules_;
};
