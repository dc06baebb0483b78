// SQL Server's bulk-copy rowset (IRowsetFastLoad) over FreeTDS's bulk copy for ODBC.
//
// The rowset has a connection of its own that asked for bulk copy before it logged in. Each
// InsertRow reads the consumer's row through an accessor, turns every value into the text (or,
// for binary columns, the bytes) FreeTDS converts to the column's type, and sends the row
// (bcp_sendrow); Commit ends a batch (bcp_batch) or the whole copy (bcp_done). FreeTDS holds a
// batch's rows until the batch ends and each long value whole in memory: the rowset reads a
// storage object into one buffer, which the next row reuses.
#pragma once

#include "platform/tds/tds_link.h"

#include <memory>

// Opens the bulk-copy rowset of `quoted_table` ("[owner].[table]") and answers its `riid`
// interface. `keep_identity`: the rows' identity values are kept. Failures post error records
// (DB_E_NOTABLE for a table the server does not know).
HRESULT tds_open_fast_load(const std::shared_ptr<tds_link>& link,
                           const std::u16string& quoted_table, bool keep_identity, REFIID riid,
                           IUnknown** rowset);
