// Custom conversion rules: a process-wide registry of rules that may supply a column's
// destination type text or a value's converted text before the destinations' own mappings.
#include "UDB/udb_rule.h"

#include "TK/tk_excep.h"
#include "TK/tk_log.h"

void udb_custom_conversion::add_rule(std::unique_ptr<udb_custom_rule> rule) {
    if (rule) {
        rules_.push_back(std::move(rule));
    }
}

bool udb_custom_conversion::is_acceptable1(const t_ftd& column) {
    tk_log_message(1, "udb_custom_conversion::is_acceptable1");
    udb_custom_conversion* registry = pointer();
    if (registry == nullptr) {
        return false;
    }
    for (const auto& rule : registry->rules_) {
        if (rule->is_acceptable1(column)) {
            return true;
        }
    }
    return false;
}

bool udb_custom_conversion::is_acceptable2(const udb_field& field) {
    tk_log_message(1, "udb_custom_conversion::is_acceptable2");
    udb_custom_conversion* registry = pointer();
    if (registry == nullptr) {
        return false;
    }
    for (const auto& rule : registry->rules_) {
        if (rule->is_acceptable2(field)) {
            return true;
        }
    }
    return false;
}

std::wstring udb_custom_conversion::handle1(const t_ftd& column) {
    tk_log_message(1, "udb_custom_conversion::handle1");
    udb_custom_conversion* registry = pointer();
    if (registry == nullptr) {
        return {};
    }
    for (const auto& rule : registry->rules_) {
        if (rule->is_acceptable1(column)) {
            return rule->handle1(column);
        }
    }
    return {};
}

void udb_custom_conversion::handle1_1(const t_ftd& column, void* arg) {
    tk_log_message(1, "udb_custom_conversion::handle1_1");
    udb_custom_conversion* registry = pointer();
    if (registry == nullptr) {
        return;
    }
    for (const auto& rule : registry->rules_) {
        if (rule->is_acceptable1(column)) {
            rule->handle1_1(column, arg);
            return;
        }
    }
}

std::wstring udb_custom_conversion::handle2(const udb_field& field) {
    tk_log_message(1, "udb_custom_conversion::handle2");
    udb_custom_conversion* registry = pointer();
    if (registry == nullptr || registry->rules_.empty()) {
        return {};
    }
    for (const auto& rule : registry->rules_) {
        if (rule->is_acceptable2(field)) {
            return rule->handle2(field);
        }
    }
    throw tk_mail_assertion("udb_rule", 88);
}
