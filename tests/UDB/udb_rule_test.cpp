// The registry of custom conversion rules.
#include "UDB/udb_rule.h"
#include "UDB/udb_field.h"
#include "UDB/udb_schema.h"

#include "TK/tk_excep.h"

#include <gtest/gtest.h>

namespace {

// Accepts columns and values whose name starts with `prefix`.
class prefix_rule : public udb_custom_rule {
public:
    prefix_rule(std::wstring prefix, std::wstring text, int* calls = nullptr)
        : prefix_(std::move(prefix)), text_(std::move(text)), calls_(calls) {}
    bool is_acceptable2(const udb_field& field) const override {
        return field.name.starts_with(prefix_);
    }
    bool is_acceptable1(const t_ftd& column) const override {
        return column.name.starts_with(prefix_);
    }
    std::wstring handle2(const udb_field&) const override { return text_ + L" value"; }
    void handle1_1(const t_ftd&, void*) const override {
        if (calls_ != nullptr) {
            ++*calls_;
        }
    }
    std::wstring handle1(const t_ftd&) const override { return text_; }

private:
    std::wstring prefix_;
    std::wstring text_;
    int* calls_;
};

const t_ftd geo_column(0, L"geo_point", VT_BSTR, false, false, ole_variant(), 0, L"");
const t_ftd plain_column(0, L"name", VT_BSTR, false, false, ole_variant(), 0, L"");

TEST(UdbCustomConversion, WithoutRegistryNoRuleApplies) {
    ASSERT_EQ(udb_custom_conversion::pointer(), nullptr);
    const udb_field field(L"geo_point", 0, ole_variant(), false, false);
    EXPECT_FALSE(udb_custom_conversion::is_acceptable1(geo_column));
    EXPECT_FALSE(udb_custom_conversion::is_acceptable2(field));
    EXPECT_EQ(udb_custom_conversion::handle1(geo_column), L"");
    EXPECT_EQ(udb_custom_conversion::handle2(field), L"");
    udb_custom_conversion::handle1_1(geo_column, nullptr);

    udb_custom_conversion empty_registry;
    EXPECT_FALSE(udb_custom_conversion::is_acceptable1(geo_column));
    EXPECT_EQ(udb_custom_conversion::handle2(field), L"");
}

TEST(UdbCustomConversion, TheFirstAcceptingRuleAnswers) {
    int first_calls = 0;
    int second_calls = 0;
    udb_custom_conversion registry;
    registry.add_rule(std::make_unique<prefix_rule>(L"geo", L"POINT", &first_calls));
    registry.add_rule(std::make_unique<prefix_rule>(L"geo_", L"GEOMETRY", &second_calls));

    EXPECT_TRUE(udb_custom_conversion::is_acceptable1(geo_column));
    EXPECT_FALSE(udb_custom_conversion::is_acceptable1(plain_column));
    EXPECT_EQ(udb_custom_conversion::handle1(geo_column), L"POINT");
    EXPECT_EQ(udb_custom_conversion::handle1(plain_column), L"");
    udb_custom_conversion::handle1_1(geo_column, nullptr);
    udb_custom_conversion::handle1_1(plain_column, nullptr);
    EXPECT_EQ(first_calls, 1);
    EXPECT_EQ(second_calls, 0);

    const udb_field geo(L"geo_x", 0, ole_variant(), false, false);
    const udb_field plain(L"name", 0, ole_variant(), false, false);
    EXPECT_TRUE(udb_custom_conversion::is_acceptable2(geo));
    EXPECT_EQ(udb_custom_conversion::handle2(geo), L"POINT value");
    try {
        udb_custom_conversion::handle2(plain);
        FAIL() << "no exception";
    } catch (const tk_mail_assertion& e) {
        EXPECT_EQ(e.message, make_err_meggase("udb_rule", 88));
    }
}

} // namespace
