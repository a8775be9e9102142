// A small writer of JSON text into a string.  Strings are written as UTF-8;
// bytes that are not valid UTF-8 each become U+FFFD, control characters,
// '"' and '\' are escaped, so the output is valid JSON whatever the input.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

class JsonWriter {
public:
    explicit JsonWriter(std::string &out) : out_(out) {}

    void begin_object() { open('{'); }
    void end_object() { close('}'); }
    void begin_array() { open('['); }
    void end_array() { close(']'); }

    // A member name inside an object; the next value call gives its value.
    void key(std::string_view name);

    void value(std::string_view s);
    void value(const char *s) { value(std::string_view(s ? s : "")); }
    void value(uint64_t n);
    void value(int64_t n);
    void value(int n) { value(static_cast<int64_t>(n)); }
    void value(bool b);
    void null();

private:
    void open(char c);
    void close(char c);
    void separate();

    std::string &out_;
    bool first_ = true;  // no member or element yet in the innermost container
    bool after_key_ = false;
};

// Appends `s` as a JSON string literal, quotes included.
void json_string(std::string &out, std::string_view s);
