// The cases of the registry-script fuzzer: scripts written from the grammar
// or taken from the shipped ones, then mutated. Every case is a function of
// the seed and its number alone, so any one case can be made again.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace script_fuzz {

// splitmix64: small, fast, and the same on every build.
class Random {
public:
    explicit Random(uint64_t seed) : state_(seed) {}
    uint64_t Next();
    // 0 to bound - 1; bound must not be 0.
    uint32_t Below(uint32_t bound) { return static_cast<uint32_t>(Next() % bound); }
    bool Percent(uint32_t percent) { return Below(100) < percent; }
    template <typename T, size_t N>
    const T& Pick(const T (&table)[N])
    {
        return table[Below(static_cast<uint32_t>(N))];
    }

private:
    uint64_t state_;
};

struct FuzzCase {
    std::string text;
    // Written from the grammar or shipped, unmutated, naming only what the
    // registry accepts: both passes must succeed.
    bool wellFormed = false;
    // Where the text came from and what was done to it, for reports.
    std::string recipe;
};

// The value the fuzzer gives the variable "Module", as the engine's caller
// would (single quotes doubled).
extern const wchar_t kModuleValue[];

struct ShippedScript {
    std::string name;
    std::string text;
};

// Case number index of the run with this seed, over the scripts the server
// carries and scripts written from the grammar.
FuzzCase MakeCase(uint64_t seed, uint64_t index, const std::vector<ShippedScript>& shipped);

// A script written from the grammar alone, and one to four mutations of text.
std::string WriteScript(Random& random, bool* wellFormed);
void Mutate(Random& random, std::string& text, std::string& recipe);

}  // namespace script_fuzz
