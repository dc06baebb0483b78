// The table of a MySQL script file: turns rows into INSERT statements.
#pragma once

#include "UDB/udb_rs.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class dmp_database;
class dump_options;
class sql_charset_repertoire;
class sql_key_judge;
struct sql_unique_key;
class sql_value_limit;

// One table of a script file, made by dmp_database::create_table; the caller owns it and
// deletes it after the table's last row. Rows are only appended: the other operations keep
// the neutral layer's behaviour. Write errors raise the script's tk_exception (level 1).
class dmp_recordset : public udb_recordset {
public:
    // Copies the column descriptors of `schema` (the destination columns, in order).
    dmp_recordset(dmp_database& db, const std::wstring& name, const udb_schema& schema);
    // Writes the pending multi-row statement.
    ~dmp_recordset() override;

    // One INSERT per row, or rows gathered into multi-row INSERTs while the engine's fast-insert
    // switch is on. A row above the batch limit switches the fast path off for the rest of the
    // run.
    void append_record(const udb_record& record) override;

    void slow_append(const udb_record& record);
    void fast_append(const udb_record& record);

    // The size of a row and of a pending multi-row statement, in bytes.
    static constexpr std::uint32_t batch_limit = 1000000;
    // One slice of a value written in pieces, in bytes of the value.
    static constexpr unsigned slice_size = 0x20000;

private:
    // Which field of the record goes into which column: pairs of (field index, column index).
    using pairing = std::vector<std::pair<std::size_t, std::size_t>>;

    // The pairing of the slow path; cached while records keep the same field names (taken as
    // kept, uncompared, while they carry the naming of the record it was built from).
    const pairing& pair_fields(const udb_record& record);
    // Whether the record's field names are those the cached pairing was built from.
    bool has_cached_names(const udb_record& record) const;
    // The position of the field named `name`, else of one named so but for letter case, or npos.
    // The first field of that name (else of that name in another letter case) that no column
    // has taken yet: columns of one source name (a query's `id, code AS id`) take its fields in
    // turn.
    static std::size_t find_field(const udb_record& record, const std::wstring& name,
                                  const std::vector<bool>& taken);
    // Finds the record's field of each statement column (fast path); on the statement's first
    // row a column without a field leaves the statement, on a later row it fails the row.
    void find_statement_fields(const udb_record& record, bool opening);
    // Appends "INSERT INTO table(columns)" for the pairs' columns.
    void append_head(std::string& out, const pairing& pairs) const;
    // Writes one value longer than the statement limit straight into the file, in slices;
    // false when the value is of a kind that is written in memory after all.
    bool write_long_value(const udb_field& field, const t_ftd& column);
    void write_pending() noexcept;
    // Refuses the row (level 0, as the server's refusal is a row's error) when `text`, the
    // value written for `column` (its literal when `literal`, else the value itself), holds a
    // character the column's character set cannot store: the replay would stop at its INSERT,
    // where a direct run refuses that row alone.
    void check_storable(std::string_view text, std::size_t column, bool literal) const;
    // Refuses the row (level 0) when the literal written for `column` holds a value that the
    // column's hand-mapped type cannot take (too long for its length, out of its range): the
    // replay would stop at its INSERT, where a direct run refuses that row alone.
    void check_limit(std::string_view literal, std::size_t column) const;
    // Finds the limits of the columns of hand-mapped types, and reports once the columns whose
    // type no limit here judges.
    void find_limits();
    // The same for every value of a row that has a value written in slices: the text before
    // that value is written ahead of the values after it, so all are judged before anything of
    // the row is written.
    void check_sliced_row(const udb_record& record, const pairing& pairs) const;
    // Refuses the row (level 0) when a key of the script's table holds the value of an earlier
    // row's as the replaying server compares text: the replay would stop at its INSERT, where a
    // direct run refuses that row alone. `key_values_` holds the row's fields by column.
    void check_keys();
    // Makes the judge of the keys the table's CREATE TABLE wrote, when one of them is judged.
    void judge_keys_of(const std::vector<sql_unique_key>& written);
    // Refuses the row (level 0) for the value of `column` when `refusal` says why.
    void refuse_value(std::size_t column, const std::string& refusal) const;
    // Keeps the written row's keys for the rows after it.
    void keep_keys();

    dmp_database& dmp_;
    const std::string& line_break_;
    // The table's name as the statements write it.
    std::string table_name_;
    // The columns' names as the statements write them, and their source names.
    std::vector<std::string> column_names_;
    std::vector<std::wstring> source_names_;
    // The character set of the text columns, when values can be checked against it, and which
    // columns take it.
    std::unique_ptr<sql_charset_repertoire> repertoire_;
    std::wstring charset_;
    std::vector<bool> charset_columns_;
    // The national columns (NCHAR, NVARCHAR, ...) hold utf8mb3 whatever the table's set.
    std::unique_ptr<sql_charset_repertoire> national_repertoire_;
    std::vector<bool> national_columns_;
    // The limits of the columns whose hand-mapped type can refuse values, and each column's
    // limit (null for the others), found once per table.
    std::vector<sql_value_limit> limits_;
    std::vector<const sql_value_limit*> limit_of_;
    // The primary key and unique indexes of a table the script creates, when one holds text.
    std::unique_ptr<sql_key_judge> keys_;
    std::vector<const udb_field*> key_values_;

    // Slow path: the last record's field names, their pairing and the statement's head for it
    // ("INSERT INTO table(columns) \nVALUES ("), the same for every row while the names are.
    std::vector<std::wstring> cached_names_;
    pairing cached_pairs_;
    std::string cached_head_;
    bool cached_ = false;
    std::uint64_t cached_naming_ = 0;
    std::string statement_;
    std::string piece_;
    std::vector<char> slice_;

    // Fast path: the pending multi-row statement and its columns (positions in `schema`).
    std::string buffer_;
    std::vector<std::size_t> statement_columns_;
    // The record's field of each statement column, for the row being added, and the naming of
    // the record they were found for (0: found by name for every row).
    std::vector<std::size_t> field_positions_;
    // The record's fields already paired with a column, while the pairs are found.
    std::vector<bool> taken_fields_;
    std::uint64_t positions_naming_ = 0;
};
