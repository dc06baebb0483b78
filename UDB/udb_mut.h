// The user's edits of source tables (new table and column names, new destination types and
// defaults, columns left out) as a tree of property bags: one database mutator, a table mutator
// per edited table, a field mutator per edited column. Templates over the destination's own
// classes, so that this layer does not depend on a destination.
//
// What a NativeType supplies (the destination's type description, copied by value):
//   members  type, default_value, character_set (wide texts), length (uint64_t), scale and
//            precision (int32_t);
//   static   VARTYPE vartype_of(const std::wstring& type, std::uint64_t& length): the value type
//            of a type name; a fixed-size type stores its byte size into `length`;
//   static   std::wstring type_name_of(const t_ftd& column): the bare destination type name of
//            a source column;
//   static   std::wstring default_of(const t_ftd& column): the destination DEFAULT text of the
//            column's default, empty when it gets none;
//   static   std::wstring full_text(const NativeType& type): the complete type text.
#pragma once

#include "TK/tk_log.h"
#include "UDB/udb_db.h"
#include "UDB/udb_field.h"
#include "UDB/udb_schema.h"
#include "UDB/udb_util.h"

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>

// Status of a field mutator.
struct udb_mutators {
    enum : std::int32_t {
        changed = 1, // the column stays; its edits are applied
        deleted = 2, // the column is left out of the table, its indexes and every record
    };
};

// The edits of one column.
template <class Field, class NativeType> class udb_field_mutator : public udb_properties {
public:
    using field_type = Field;
    using native_type_type = NativeType;

    udb_field_mutator(const std::wstring& new_name, const NativeType& native_type)
        : new_name(new_name), native_type(native_type) {
        tk_log_wmessage(1, L"udb_field_mutator::ctor1(%ls)", new_name.c_str());
    }
    ~udb_field_mutator() override = default;

    // Rebuilt from the members on every call.
    udb_property_map& get_properties() override {
        properties.clear();
        properties[L"new_name"] = new_name;
        properties[L"type"] = native_type.type;
        properties[L"default_value"] = native_type.default_value;
        properties[L"character_set"] = native_type.character_set;
        // The length travels as its low 32 bits read as a signed number.
        properties[L"length"] = std::to_wstring(
            static_cast<std::int32_t>(static_cast<std::uint32_t>(native_type.length)));
        properties[L"scale"] = std::to_wstring(native_type.scale);
        properties[L"precision"] = std::to_wstring(native_type.precision);
        return properties;
    }
    // A column has no children.
    udb_properties* find_by_name(const std::wstring&) override { return nullptr; }
    udb_properties* find_by_new_name(const std::wstring&) override { return nullptr; }

    std::wstring new_name;
    VARTYPE vartype = VT_EMPTY; // the type the column's values are converted to
    std::int32_t dw_reserved = 0;
    NativeType native_type;
    std::int32_t status = udb_mutators::changed;
};

// The edits of one table. Owns its field mutators.
template <class FieldMutator> class udb_table_mutator : public udb_properties {
public:
    using field_mutator_type = FieldMutator;
    using native_type_type = typename FieldMutator::native_type_type;

    explicit udb_table_mutator(const std::wstring& new_name) : new_name(new_name) {
        tk_log_wmessage(1, L"udb_table_mutator::ctor(%ls)", new_name.c_str());
    }
    ~udb_table_mutator() override = default;

    udb_properties* find_by_name(const std::wstring& name) override {
        const auto it = field_mutators.find(name);
        return it != field_mutators.end() ? it->second.get() : nullptr;
    }
    udb_properties* find_by_new_name(const std::wstring& name) override {
        const auto it = field_mutators_by_new_name.find(name);
        return it != field_mutators_by_new_name.end() ? it->second : nullptr;
    }

    // Finds or creates the field mutator of source column `old_name` and gives it the new name
    // and type; the status of an existing mutator stays as it was.
    FieldMutator* update_field(const std::wstring& old_name, const std::wstring& new_name,
                               native_type_type native_type) {
        tk_log_wmessage(
            2,
            L"udb_table_mutator::update_field(old_name=%ls,new_name=%ls,native_type=%ls,"
            L"length=%d)",
            old_name.c_str(), new_name.c_str(), native_type.type.c_str(),
            static_cast<int>(native_type.length));
        std::unique_ptr<FieldMutator>& slot = field_mutators[old_name];
        if (!slot) {
            tk_log_wmessage(2, L"create_field_mutator(%ls)", new_name.c_str());
            slot = std::make_unique<FieldMutator>(new_name, native_type);
            field_mutators_by_new_name.emplace(new_name, slot.get());
        }
        FieldMutator* mutator = slot.get();
        if (mutator->new_name != new_name) {
            // A renamed column is found under its new name from now on.
            const auto old = field_mutators_by_new_name.find(mutator->new_name);
            if (old != field_mutators_by_new_name.end() && old->second == mutator) {
                field_mutators_by_new_name.erase(old);
            }
            field_mutators_by_new_name.emplace(new_name, mutator);
        }
        mutator->vartype = native_type_type::vartype_of(native_type.type, native_type.length);
        mutator->new_name = new_name;
        mutator->native_type = native_type;
        return mutator;
    }

    // Source column name -> field mutator (owned).
    std::map<std::wstring, std::unique_ptr<FieldMutator>, udb_utf16_less> field_mutators;
    // New column name -> field mutator (not owned); the first mutator given a name keeps it, and
    // a rename moves the mutator's own entry.
    std::map<std::wstring, FieldMutator*, udb_utf16_less> field_mutators_by_new_name;
    udb_record modified_record;
    udb_schema modified_schema{true};
    std::wstring new_name;
};

// All edits of a run: the table mutators by source table name. Owns them. `map_file` and
// `types_file` name the type-mapping files that the type-mapping dialog reads.
template <class TableMutator, const char* map_file, const char* types_file>
class udb_db_mutator : public udb_properties {
public:
    using table_mutator_type = TableMutator;
    using native_type_type = typename TableMutator::native_type_type;

    udb_db_mutator() = default;
    ~udb_db_mutator() override { clear(); }

    udb_db_mutator(const udb_db_mutator&) = delete;
    udb_db_mutator& operator=(const udb_db_mutator&) = delete;

    udb_properties* find_by_name(const std::wstring& name) override {
        return get_table_mutator3(name);
    }
    udb_properties* find_by_new_name(const std::wstring& name) override {
        const auto it = table_mutators_by_new_name.find(name);
        return it != table_mutators_by_new_name.end() ? it->second : nullptr;
    }

    // The default destination type of a source column. The column's native type text becomes
    // the full type text, so that the caller's copy shows it.
    virtual void get_native_type(t_ftd& column, native_type_type& nt) {
        nt.type = native_type_type::type_name_of(column);
        nt.length = static_cast<std::uint64_t>(static_cast<std::uint32_t>(column.size));
        nt.default_value = native_type_type::default_of(column);
        if (column.type == VT_DECIMAL) {
            nt.scale = column.scale;
            nt.precision = column.prec;
        }
        column.native_type = native_type_type::full_text(nt);
    }

    // The filter handed to the type-mapping file reader: an empty set, made once.
    static const std::set<std::wstring>& empty_map() {
        static const std::set<std::wstring> empty;
        return empty;
    }

    // Finds or creates the table mutator of source table `name` and sets its new name.
    TableMutator* get_table_mutator2(const std::wstring& name, const std::wstring& new_name) {
        tk_log_wmessage(1, L"get_table_mutator2(%ls,%ls)", name.c_str(), new_name.c_str());
        const auto it = table_mutators.find(name);
        if (it == table_mutators.end()) {
            auto created = std::make_unique<TableMutator>(new_name);
            TableMutator* mutator = created.get();
            table_mutators.emplace(name, std::move(created));
            table_mutators_by_new_name.emplace(new_name, mutator);
            return mutator;
        }
        tk_log_wmessage(2, L"udb_table_mutator::set_new_name(%ls)", new_name.c_str());
        TableMutator* mutator = it->second.get();
        if (mutator->new_name != new_name) {
            // A renamed table is found under its new name from now on: the destination looks
            // its table properties up by the name the table is created with.
            const auto old = table_mutators_by_new_name.find(mutator->new_name);
            if (old != table_mutators_by_new_name.end() && old->second == mutator) {
                table_mutators_by_new_name.erase(old);
            }
            table_mutators_by_new_name.emplace(new_name, mutator);
        }
        mutator->new_name = new_name;
        return mutator;
    }

    TableMutator* get_table_mutator3(const std::wstring& name) {
        tk_log_wmessage(1, L"get_table_mutator3(%ls)", name.c_str());
        const auto it = table_mutators.find(name);
        return it != table_mutators.end() ? it->second.get() : nullptr;
    }

    // Deletes every table mutator; the properties stay.
    void clear() {
        table_mutators_by_new_name.clear();
        table_mutators.clear();
    }

    static const char* get_map_file() { return map_file; }
    static const char* get_types_file() { return types_file; }

    std::map<std::wstring, std::unique_ptr<TableMutator>, udb_utf16_less> table_mutators;
    std::map<std::wstring, TableMutator*, udb_utf16_less> table_mutators_by_new_name;
};
