// The "Type Mappings" section of a profile: the user's table and column edits as an indented
// text of key, colon and value, one entry per line.
#pragma once

#include "SQL/sql_mut.h"

class udb_profile;

// Appends the text of every table and field mutator to the profile's "Type Mappings" lines.
// Always true.
bool udb_db_mutator_store(sql_db_mutator& mutators, udb_profile& profile);

// Replaces every table mutator by those the profile's "Type Mappings" lines describe. True when
// the text was read to its end or is no table text; false, with no table mutator left, when its
// table part breaks the grammar.
bool udb_db_mutator_load(sql_db_mutator& mutators, udb_profile& profile);
