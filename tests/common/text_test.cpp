// Text that other programs show: a terminal (control characters escaped), a metric or a file
// name (station names and slot labels kept plain), a spreadsheet (no cell that it would run).
#include <gtest/gtest.h>

#include <vector>

#include "common/text.h"
#include "tools/production_record.h"

namespace {

TEST(text, shown_text_escapes_what_would_drive_a_terminal)
{
    const struct {
        std::string text, shown;
    } cases[] = {
        {"COM7", "COM7"},
        {"a\x1b[2Jb", "a\\x1b[2Jb"},
        {"\r\n\t", "\\x0d\\x0a\\x09"},
        {"\x7f", "\\x7f"},
        {"Z\xc3\xbcrich \xe2\x82\xac", "Z\xc3\xbcrich \xe2\x82\xac"},  // valid UTF-8 stays
        {"\xc2\x9b" "2J", "\\x9b2J"},                                    // a C1 control: CSI
        {"\xff\xfe", "\\xff\\xfe"},                                      // not UTF-8
        {"\xe2\x82", "\\xe2\\x82"},                                      // a sequence cut short
        {std::string("a\0b", 3), "a\\x00b"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(shown_text(c.text), c.shown) << c.shown;
}

TEST(text, plain_names_are_letters_digits_and_dot_underscore_hyphen)
{
    for (const std::string& name : std::vector<std::string>{"A1", "line-3.b_2", "COM7", "ttyUSB0", std::string(PLAIN_NAME_MAX, 'x')})
        EXPECT_TRUE(is_plain_name(name)) << name;
    for (const std::string& name : std::vector<std::string>{"", "S1;=1+2", "a b", "Z\xc3\xbcrich", "by-path/x", "a\rb", "x\"y",
                                    std::string(PLAIN_NAME_MAX + 1, 'x')})
        EXPECT_FALSE(is_plain_name(name)) << name;
    EXPECT_FALSE(is_plain_name("A12345", 5));
}

// A cell that a spreadsheet would run as a formula gets a ' before it, also after each separator
// that a spreadsheet may split on.
TEST(text, csv_fields_never_begin_a_formula_after_any_separator)
{
    const struct {
        std::string field, written;
    } cases[] = {
        {"COM7", "COM7"},
        {"serial/by-path/pci-0000:00:14.0-usb-0:1.2:1.0-port0", "serial/by-path/pci-0000:00:14.0-usb-0:1.2:1.0-port0"},
        {"=1+2", "'=1+2"},
        {"S1;=1+2", "S1;'=1+2"},
        {"a\t@SUM(A1)", "a\t'@SUM(A1)"},
        {"x -1", "x '-1"},
        {"a|+b", "a|'+b"},
        {"a;;=b", "a;;'=b"},
        {"a,=b", "\"a,'=b\""},
        {"a\n=b", "\"a\n'=b\""},
        {"say \"hi\"", "\"say \"\"hi\"\"\""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(csv_field(c.field), c.written) << c.field;
}

}  // namespace
