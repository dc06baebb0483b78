// Foreign-key descriptions and their list.
#pragma once

#include <string>
#include <vector>

// One foreign key: the referencing table and columns, the referenced table and columns.
class udb_relationship {
public:
    udb_relationship(const std::wstring& name, const std::wstring& pk_name,
                     const std::wstring& fk_table, const std::wstring& pk_table,
                     const std::vector<std::wstring>& fk_flds,
                     const std::vector<std::wstring>& pk_flds, const std::wstring& properties);
    // Copies all seven members; logs the column counts of both sides.
    udb_relationship(const udb_relationship& that);
    udb_relationship& operator=(const udb_relationship&) = default;
    udb_relationship(udb_relationship&&) noexcept = default;
    udb_relationship& operator=(udb_relationship&&) noexcept = default;

    std::wstring name;     // the constraint's name
    std::wstring pk_name;  // the referenced key's name, where the reader knows it
    std::wstring fk_table; // the referencing table
    std::wstring pk_table; // the referenced table
    // The referential rules to append after REFERENCES: " ON UPDATE <rule>" and
    // " ON DELETE <rule>", each only when the reader found it.
    std::wstring properties;
    std::vector<std::wstring> fk_flds; // referencing columns, in order
    std::vector<std::wstring> pk_flds; // referenced columns, parallel to fk_flds
};

// The foreign keys of a table or a database, in the order they were added.
class udb_relationships : public std::vector<udb_relationship> {
public:
    // Whether a foreign key with that name, referenced table and referencing table is listed
    // (each compared ignoring case).
    bool find(const std::wstring& name, const std::wstring& pk_table,
              const std::wstring& fk_table) const;

    // The foreign key that find() answers for; internal error (udb_rel, 192) when none.
    udb_relationship& get(const std::wstring& name, const std::wstring& pk_table,
                          const std::wstring& fk_table);

    // The first foreign key of that name (ignoring case); internal error (udb_rel, 175) when
    // none.
    udb_relationship& get_index(const std::wstring& name);

    // False when a foreign key of that name (ignoring case) is listed.
    bool is_acceptable_name(const std::wstring& name) const;

private:
    std::size_t find_pos(const std::wstring& name, const std::wstring& pk_table,
                         const std::wstring& fk_table) const;
};
