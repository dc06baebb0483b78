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
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << tk_to_utf8(c.text));
        EXPECT_EQ(vlm_rename_view_tables(c.text, tables, L"dbo"), c.expected);
    }
}

} // namespace
