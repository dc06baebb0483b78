// Foreign keys read out of CREATE TABLE text.
#include "SQL/sql_fkp.h"
#include "UDB/udb_rel.h"

#include <gtest/gtest.h>

namespace {

udb_relationships parse(const std::string& text) {
    udb_relationships list;
    sql_fk_parser(L"child", text).do_parse(list);
    return list;
}

TEST(sql_fk_parser, constraints_of_a_create_table_text) {
    const std::string text =
        "CREATE TABLE `child` (\n"
        "  `id` int(11) NOT NULL,\n"
        "  `a` int(11) DEFAULT NULL,\n"
        "  `b` int(11) DEFAULT NULL,\n"
        "  PRIMARY KEY (`id`),\n"
        "  KEY `fk1` (`a`,`b`),\n"
        "  CONSTRAINT `fk1` FOREIGN KEY (`a`, `b`) REFERENCES `parent` (`x`, `y`) ON DELETE "
        "CASCADE ON UPDATE CASCADE,\n"
        "  constraint `fk2` foreign key (`a`) references `other` (`id`)\n"
        ") ENGINE=InnoDB";
    const udb_relationships list = parse(text);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].name, L"fk1");
    EXPECT_EQ(list[0].fk_table, L"child");
    EXPECT_EQ(list[0].pk_table, L"parent");
    EXPECT_EQ(list[0].fk_flds, (std::vector<std::wstring>{L"a", L"b"}));
    EXPECT_EQ(list[0].pk_flds, (std::vector<std::wstring>{L"x", L"y"}));
    EXPECT_EQ(list[0].properties, L"ON DELETE CASCADE ON UPDATE CASCADE");
    EXPECT_EQ(list[0].pk_name, L"");
    EXPECT_EQ(list[1].name, L"fk2");
    EXPECT_EQ(list[1].pk_table, L"other");
    EXPECT_EQ(list[1].properties, L"");
}

TEST(sql_fk_parser, edge_lines) {
    struct line_case {
        const char* line;
        const wchar_t* name;
        const wchar_t* pk_table;
        std::vector<std::wstring> fk;
        std::vector<std::wstring> pk;
        const wchar_t* rule;
    };
    const std::vector<line_case> cases = {
        // Names with blanks, doubled backquotes, key words and non-ASCII letters.
        {"CONSTRAINT `my fk` FOREIGN KEY (`col one`) REFERENCES `par ent` (`k ey`),",
         L"my fk",
         L"par ent",
         {L"col one"},
         {L"k ey"},
         L""},
        {"CONSTRAINT `a``b` FOREIGN KEY (`x``y`, `z`) REFERENCES `p``q` (`u`, `v``w`) ON "
         "DELETE SET NULL",
         L"a`b",
         L"p`q",
         {L"x`y", L"z"},
         {L"u", L"v`w"},
         L"ON DELETE SET NULL"},
        {"CONSTRAINT `REFERENCES ` FOREIGN KEY (`FOREIGN KEY`) REFERENCES `t(1)` (`c)`)",
         L"REFERENCES ",
         L"t(1)",
         {L"FOREIGN KEY"},
         {L"c)"},
         L""},
        {"CONSTRAINT `Ärger_fk` FOREIGN KEY (`größe`) REFERENCES `Straße` (`名前`) ON UPDATE "
         "NO ACTION",
         L"Ärger_fk",
         L"Straße",
         {L"größe"},
         {L"名前"},
         L"ON UPDATE NO ACTION"},
        // Another database's table yields the database's name.
        {"CONSTRAINT `f` FOREIGN KEY (`a`) REFERENCES `otherdb`.`t` (`id`)",
         L"f",
         L"otherdb",
         {L"a"},
         {L"id"},
         L""},
        // Names without backquotes are not seen; the relationship is still added.
        {"CONSTRAINT f FOREIGN KEY (a) REFERENCES t (id)", L"f", L"t", {}, {}, L""},
        // No parenthesis after the referenced table.
        {"CONSTRAINT `f` FOREIGN KEY (`a`) REFERENCES `t`", L"f", L"t", {L"a"}, {}, L""},
    };
    for (const line_case& c : cases) {
        SCOPED_TRACE(c.line);
        const udb_relationships list = parse(c.line);
        ASSERT_EQ(list.size(), 1u);
        EXPECT_EQ(list[0].name, c.name);
        EXPECT_EQ(list[0].pk_table, c.pk_table);
        EXPECT_EQ(list[0].fk_flds, c.fk);
        EXPECT_EQ(list[0].pk_flds, c.pk);
        EXPECT_EQ(list[0].properties, c.rule);
    }
}

TEST(sql_fk_parser, lines_without_the_key_words_add_nothing) {
    EXPECT_TRUE(parse("").empty());
    EXPECT_TRUE(parse("CREATE TABLE `t` (\n  `id` int,\n  PRIMARY KEY (`id`)\n)").empty());
    EXPECT_TRUE(parse("CONSTRAINT `c` CHECK (`a` > 0)").empty());
    EXPECT_TRUE(parse("CONSTRAINT `c` FOREIGN KEY (`a`)").empty());
    EXPECT_TRUE(parse("CONSTRAINT").empty());
}

TEST(sql_fk_parser, columns_are_the_backquoted_names) {
    std::vector<std::wstring> names;
    sql_fk_parser::get_columns(L"(`a`, b, `c d`, `unclosed", names);
    EXPECT_EQ(names, (std::vector<std::wstring>{L"a", L"c d"}));
}

} // namespace
