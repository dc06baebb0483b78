// Source table names in the text of a view, replaced by the destination's names.
#pragma once

#include <string>
#include <utility>
#include <vector>

// One converted table: its source name in the "[owner].[table]" text form, its destination name.
using vlm_table_rename = std::pair<std::wstring, std::wstring>;

// `text` with every reference to a source table of `tables` replaced by its destination name in
// brackets ("]" doubled), as the view conversion reads a quoted name: "owner.table" and
// "[owner].[table]" in any letter case, and the bare table name where the owner is
// `default_owner`. A reference may be followed by ".column". Names inside literals, inside
// quoted names and parts of longer names are left alone.
std::wstring vlm_rename_view_tables(const std::wstring& text,
                                    const std::vector<vlm_table_rename>& tables,
                                    const std::wstring& default_owner);
