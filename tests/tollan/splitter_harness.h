// Runs the guarded test build of the splitter on one text and checks that it
// wrote nothing outside the slots it filled and their terminating zeros.
#pragma once

#include <string>
#include <vector>

struct SplitResult {
    bool usable = false;             // what SplitCommandLine returned
    std::vector<std::string> names;  // slots 0 .. NameCount-1
    std::string damage;              // empty, or what was written where it must not be
};

// Splits text (which may hold no zero byte) into an empty table. Behind the
// text's terminating zero lie more bytes that would form names, so reading
// past the end shows up as extra names.
SplitResult SplitWithGuards(const std::string& text);

// The same, after storing the names of first: splitting fills on from slot
// NameCount.
SplitResult SplitAfter(const std::vector<std::string>& first, const std::string& text);
