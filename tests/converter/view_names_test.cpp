// Source table names in view texts replaced by the destination's names.
#include "converter/vlm_vnam.h"
#include "TK/tk_utils.h"

#include <gtest/gtest.h>

namespace {

TEST(ViewTableNames, EveryFormOfAConvertedTableIsReplaced) {
    const std::vector<vlm_table_rename> tables = {
        {L"[dbo].[Products]", L"Products"},
        {L"[dbo].[x]", L"dbo.x"},
        {L"[dbo].[[x]]]", L"dbo.[x]"},
        {L"[sales].[Orders]", L"sales.Orders"},
    };
    const struct {
        const wchar_t* text;
        const wchar_t* expected;
    } cases[] = {
        {L"SELECT dbo.Products.ProductName FROM dbo.Products",
         L"SELECT [Products].ProductName FROM [Products]"},
        {L"SELECT * FROM [DBO].[products] p", L"SELECT * FROM [Products] p"},
        {L"SELECT Products.ProductID FROM Products",
         L"SELECT [Products].ProductID FROM [Products]"},
        // Only the default owner's tables go by their bare name.
        {L"SELECT * FROM Orders, sales.Orders", L"SELECT * FROM Orders, [sales.Orders]"},
        {L"SELECT * FROM dbo.x JOIN [dbo].[[x]]] ON 1=1",
         L"SELECT * FROM [dbo.x] JOIN [dbo.[x]]] ON 1=1"},
        // Either part in brackets alone.
        {L"SELECT dbo.[x].id FROM dbo.[[x]]], [sales].Orders o",
         L"SELECT [dbo.x].id FROM [dbo.[x]]], [sales.Orders] o"},
        // Literals, quoted names, qualified names of other objects and longer words stay.
        {L"SELECT 'dbo.Products', \"Products\", [Products x], p.Products, ProductsX, x_Products",
         L"SELECT 'dbo.Products', \"Products\", [Products x], p.Products, ProductsX, x_Products"},
        {L"SELECT 'it''s dbo.x' AS a FROM x", L"SELECT 'it''s dbo.x' AS a FROM [dbo.x]"},
        // A bare name is the table only where a table stands or as a column's qualifier;
        // columns and aliases named like a table keep their names.
        {L"SELECT x, t.x, x AS Products, x.a FROM t, x JOIN Products ON x.a = Products.a",
         L"SELECT x, t.x, x AS Products, [dbo.x].a FROM t, [dbo.x] JOIN [Products] ON "
         L"[dbo.x].a = [Products].a"},
        {L"SELECT a, (SELECT max(b) FROM x) AS m, x FROM t WHERE x IN (SELECT x FROM x)",
         L"SELECT a, (SELECT max(b) FROM [dbo.x]) AS m, x FROM t WHERE x IN (SELECT x FROM "
         L"[dbo.x])"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << tk_to_utf8(c.text));
        EXPECT_EQ(vlm_rename_view_tables(c.text, tables, L"dbo"), c.expected);
    }
}

} // namespace
