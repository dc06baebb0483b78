// Command-line reader: walks a program's arguments and matches each against a table of options.
#pragma once

#include <cstddef>
#include <cstdint>

// One row of an option table: the option's id and its text ("--src=", "--dump"). A table ends
// with a row whose text is empty.
struct cmd_option {
    std::int32_t id;
    const char* text;
};

// A cursor over the arguments. An argument matches the first row, in table order, whose text
// begins it (compared case-sensitively); what follows that text is the option's value. An
// argument that matches no row gets the id -1 and is remembered as unrecognised.
class TCmdLine {
public:
    // Only this many unrecognised arguments are kept; the count goes on beyond it.
    static constexpr std::size_t max_unrecognised = 20;

    explicit TCmdLine(const cmd_option* options) : options_(options) {}
    TCmdLine(const TCmdLine&) = delete;
    TCmdLine& operator=(const TCmdLine&) = delete;
    virtual ~TCmdLine();

    // Moves to the next argument; an internal error when none is left.
    virtual void next() = 0;
    // Whether the cursor stands on an argument.
    virtual bool has_more() const = 0;

    // The id of the current argument's option, -1 for an unrecognised one. Both accessors are
    // internal errors when no argument is left.
    std::int32_t get_option_id() const;
    // The current argument behind the matched option text (possibly empty).
    const char* get_value() const;

    std::uint32_t unrecognised_count() const { return unrecognised_count_; }
    // The i-th unrecognised argument, for i below min(unrecognised_count(), max_unrecognised).
    const char* unrecognised(std::size_t i) const { return unrecognised_[i]; }

protected:
    // Matches `argument` against the table and sets the id and value.
    void match(const char* argument);

private:
    const cmd_option* options_;
    const char* value_ = "";
    std::int32_t option_id_ = -1;
    std::uint32_t unrecognised_count_ = 0;
    const char* unrecognised_[max_unrecognised] = {};
};

// The cursor over main's narrow argument vector (element 0, the program, is skipped).
class ansi_cmd_line : public TCmdLine {
public:
    // Stands on element 1 (already matched) when there is one.
    ansi_cmd_line(int argc, char** argv, const cmd_option* options);

    void next() override;
    bool has_more() const override { return remaining_ > 0; }

    // Matches `argument`, the current one; an internal error when no argument is left.
    void parse_current(const char* argument);

private:
    char** cursor_;
    std::int32_t remaining_;
};
