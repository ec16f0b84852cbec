#include "script_fuzz_cases.h"

#include <cstring>
#include <utility>

namespace script_fuzz {

const wchar_t kModuleValue[] = L"C:\\Apps\\O''Brien\\Kelmo7.exe";

uint64_t Random::Next()
{
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

namespace {

// No "h" or "k" among the letters of generated names and texts: the test
// tells a script of one section by the single "HK" in its text.
const char kNameLetters[] = "abcdefgijlmnopqrstuvwxyzABCDEFGIJLMNOPQRSTUVWXYZ0123456789_.-";
const char kTextLetters[] = "abcdefgijlmnopqrstuvwxyz ABCDEFG0123456789{}=;,.!?()[]";
const char kHexDigits[] = "0123456789ABCDEFabcdef";
// Double-byte characters of code page 932, some with a backslash or a quote
// as their second byte.
// clang-format off
const char* const kDoubleByteCharacters[] = {"\x83\x5C", "\x95\x5C", "\x83\x74", "\x82\xA0", "\x88\x9F", "\x81\x60",
                                             "\x8A\x27", "\xE0\x7B", "\xFC\x4B"};

const char* const kRootNames[] = {"HKCR", "HKCU", "HKLM", "HKU", "HKCC", "HKDD",
                                  "HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE",
                                  "HKEY_USERS", "HKEY_CURRENT_CONFIG", "HKEY_DYN_DATA"};
// The registry of the test platform creates no keys below these.
const char* const kRootNamesWithoutKeys[] = {"HKPD", "HKEY_PERFORMANCE_DATA"};
const char* const kKeywords[] = {"Delete", "ForceRemove", "NoRemove", "Val"};

const char* const kVocabulary[] = {
    "{", "}", "=", "S", "s", "D", "b", "Val", "val", "Delete", "ForceRemove", "NoRemove", "'NoRemove'",
    "'{'", "'}'", "HKCU", "hkcr", "HKLM", "HKEY_USERS", "HKCC", "HKPD", "HKDD", "CLSID", "TypeLib", "''",
    "'", "a\\b", "\\", "'x y'", "{}", "}}", "=s", "'ForceRemove'", "q", "{{"};
const char* const kPercentPieces[] = {"%", "%%", "%MODULE%", "%module%", "%Unknown%", "%%%", "% %",
                                      "%\x83\x5C%", "%\x83%", "%%MODULE%%"};
const char* const kDoubleBytePieces[] = {"\x83\x5C", "\x81", "\x81'", "\x82{", "\x83 ", "\x83\x5C\x83\x5C",
                                         "\x95\x5C", "\xE0\x40", "\xFC\xFC", "\x80", "\xFF", "\x83}"};
// clang-format on

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool EqualsIgnoringCase(const std::string& a, const char* b)
{
    if (a.size() != std::strlen(b))
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z')
            x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<char>(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

// The lead bytes of code page 932, in which the test runs.
bool IsLeadByte(char c)
{
    const unsigned char b = static_cast<unsigned char>(c);
    return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}

// Quotes are doubled; the second byte of a double-byte character is never a quote.
std::string Quoted(const std::string& text)
{
    std::string out = "'";
    for (size_t i = 0; i < text.size(); ++i) {
        out += text[i];
        if (IsLeadByte(text[i]) && i + 1 < text.size())
            out += text[++i];
        else if (text[i] == '\'')
            out += '\'';
    }
    return out + "'";
}

std::string Letters(Random& random, const char* letters, size_t length)
{
    const uint32_t count = static_cast<uint32_t>(std::strlen(letters));
    std::string out;
    for (size_t i = 0; i < length; ++i)
        out += letters[random.Below(count)];
    return out;
}

// Keywords and root names in any mix of case.
std::string InAnyCase(Random& random, const char* word)
{
    std::string out = word;
    if (random.Percent(60))
        return out;
    for (char& c : out) {
        if (random.Percent(50) && c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
        else if (random.Percent(50) && c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

std::string Guid(Random& random)
{
    const char* hex = "0123456789ABCDEF";
    std::string out = "{";
    for (int group : {8, 4, 4, 4, 12}) {
        if (out.size() > 1)
            out += '-';
        for (int i = 0; i < group; ++i)
            out += hex[random.Below(16)];
    }
    return out + "}";
}

std::string DoubleByteText(Random& random, size_t characters)
{
    std::string out;
    for (size_t i = 0; i < characters; ++i)
        out += random.Percent(60) ? std::string(random.Pick(kDoubleByteCharacters)) : Letters(random, kNameLetters, 1);
    return out;
}

// A long name of exactly length bytes: single bytes, or double-byte
// characters with a single byte to make up an odd length.
std::string LongName(Random& random, size_t length)
{
    if (random.Percent(50))
        return Letters(random, kNameLetters, length);
    std::string out;
    while (out.size() + 2 <= length)
        out += random.Pick(kDoubleByteCharacters);
    if (out.size() < length)
        out += 'x';
    return out;
}

class Writer {
public:
    explicit Writer(Random& random) : random_(random) {}

    std::string Script()
    {
        const uint32_t roll = random_.Below(100);
        const int sections = roll < 3 ? 0 : roll < 81 ? 1 : roll < 96 ? 2 : 3;
        for (int i = 0; i < sections; ++i)
            Section();
        // Blanks alone are no script; after a section they are.
        if (sections > 0 && random_.Percent(30))
            out_ += Blank();
        return out_;
    }

    bool wellFormed() const { return wellFormed_; }

private:
    std::string Blank()
    {
        static const char* const kBlanks[] = {" ", " ", "\t", "\r\n", "\n", "\r\n\t\t", "  "};
        return random_.Pick(kBlanks);
    }

    // A token, after a blank. After a quoted token the blank may be left
    // out, unless a quote follows: two quotes in a row stand for one.
    void Put(const std::string& token)
    {
        if (!out_.empty() && !(lastQuoted_ && token[0] != '\'' && random_.Percent(10)))
            out_ += Blank();
        out_ += token;
        lastQuoted_ = token.size() >= 2 && token[0] == '\'' && token.back() == '\'';
    }

    void Section()
    {
        std::string root;
        if (random_.Percent(4)) {
            root = InAnyCase(random_, random_.Pick(kRootNamesWithoutKeys));
            wellFormed_ = false;
        } else {
            root = InAnyCase(random_, random_.Pick(kRootNames));
        }
        Put(random_.Percent(5) ? Quoted(root) : root);
        Block(0);
    }

    void Block(int depth)
    {
        Put("{");
        const uint32_t items = random_.Below(depth == 0 ? 6 : 4);
        for (uint32_t i = 0; i < items; ++i)
            Item(depth);
        Put("}");
    }

    void Item(int depth)
    {
        const uint32_t roll = random_.Below(100);
        if (roll < 50) {
            KeyItem(depth, nullptr);
        } else if (roll < 60) {
            KeyItem(depth, "ForceRemove");
        } else if (roll < 64) {
            KeyItem(depth, "NoRemove");
        } else if (roll < 82) {
            Put(InAnyCase(random_, "Val"));
            Put(Name(true));
            ValueClause();
        } else {
            Put(InAnyCase(random_, "Delete"));
            Put(Name(false));
            if (random_.Percent(30))
                ValueClause();
        }
    }

    void KeyItem(int depth, const char* keyword)
    {
        if (keyword != nullptr)
            Put(random_.Percent(10) ? Quoted(keyword) : InAnyCase(random_, keyword));
        Put(Name(false));
        if (random_.Percent(40))
            ValueClause();
        if (depth < 4 && random_.Percent(40))
            Block(depth + 1);
    }

    // A key name or, with forValue, a value name, quoted where it must be.
    std::string Name(bool forValue)
    {
        for (;;) {
            std::string name;
            bool quote = random_.Percent(20);
            switch (random_.Below(13)) {
            case 0:
            case 1:
            case 2:
            case 3:
            case 4:
                name = Letters(random_, kNameLetters, 1 + random_.Below(12));
                break;
            case 5:
                name = Guid(random_);
                break;
            case 6: {
                static const char* const kProtected[] = {"CLSID", "clsid", "TypeLib", "TYPELIB", "typelib"};
                name = random_.Pick(kProtected);
                break;
            }
            case 7:
                name = Letters(random_, kNameLetters, 1 + random_.Below(4)) + (random_.Percent(50) ? " " : "'") +
                       Letters(random_, kNameLetters, 1 + random_.Below(4));
                quote = true;
                break;
            case 8:
                name = DoubleByteText(random_, 1 + random_.Below(6));
                break;
            case 9: {
                // A name may begin with "{"; one that begins with "=" or "}"
                // is no name, quoted or not.
                static const char* const kLetterNames[] = {"S", "d", "B", "{x", "a{b}", "{}", "x=y", "{{"};
                name = random_.Pick(kLetterNames);
                break;
            }
            case 10:
                // Long names about the limits: the registry takes key names of
                // up to 255 characters, the engine value names of 259 bytes.
                name = LongName(random_, 246 + random_.Below(14));
                if (!forValue && !IsLeadByte(name[0]) && name.size() > 255)
                    wellFormed_ = false;
                break;
            case 11:
                if (random_.Percent(30)) {
                    name = "";  // the default value, or no key at all
                    quote = true;
                    if (!forValue)
                        wellFormed_ = false;
                } else {
                    name = Letters(random_, kNameLetters, 1 + random_.Below(3));
                }
                break;
            default:
                name = Letters(random_, kNameLetters, 1 + random_.Below(3)) + "%%" +
                       Letters(random_, kNameLetters, random_.Below(3));
                break;
            }
            bool keyword = false;
            for (const char* word : kKeywords)
                keyword = keyword || EqualsIgnoringCase(name, word);
            if (keyword)
                continue;
            // Names with blanks, or whose first byte could open a quoted token
            // once a double-byte character is split, go in quotes.
            for (size_t i = 0; i < name.size(); ++i) {
                if (IsLeadByte(name[i]))
                    ++i;
                else
                    quote = quote || IsBlank(name[i]) || name[i] == '\'';
            }
            return quote ? Quoted(name) : name;
        }
    }

    void ValueClause()
    {
        Put(random_.Percent(95) ? "=" : "==");
        const uint32_t roll = random_.Below(100);
        if (roll < 3) {
            static const char* const kBadLetters[] = {"q", "sz", "''", "SS", "x", "0"};
            Put(random_.Pick(kBadLetters));
            wellFormed_ = false;
            Put(Letters(random_, kNameLetters, 1 + random_.Below(5)));
        } else if (roll < 60) {
            Put(InAnyCase(random_, "s"));
            Put(StringText());
        } else if (roll < 80) {
            Put(InAnyCase(random_, "d"));
            static const char* const kNumbers[] = {"0",    "1",   "100", "4294967295", "4294967296", "-1",
                                                   "0x10", "abc", "''",  "'12 '",      "007",        "1e3"};
            Put(random_.Pick(kNumbers));
        } else {
            Put(InAnyCase(random_, "b"));
            std::string bytes = Letters(random_, kHexDigits, 2 * random_.Below(9));
            if (random_.Percent(10))
                bytes += "zz";
            if (random_.Percent(12)) {
                bytes += Letters(random_, kHexDigits, 1);
                wellFormed_ = false;
            }
            Put(bytes.empty() ? "''" : random_.Percent(20) ? Quoted(bytes) : bytes);
        }
    }

    std::string StringText()
    {
        switch (random_.Below(8)) {
        case 0:
            return Letters(random_, kNameLetters, 1 + random_.Below(10));
        case 1:
            return "''";
        case 2:
            return Quoted(Letters(random_, kTextLetters, random_.Below(30)));
        case 3: {
            static const char* const kVariables[] = {"%MODULE%", "%module%", "%Module%", "%mOdUlE%"};
            return random_.Percent(60) ? Quoted(random_.Pick(kVariables)) : std::string(random_.Pick(kVariables));
        }
        case 4:
            return Quoted("It's " + Letters(random_, kNameLetters, 3) + " 100%% {sure} = s ForceRemove");
        case 5:
            return Guid(random_);
        case 6:
            return Quoted(DoubleByteText(random_, 1 + random_.Below(8)));
        default:
            return Quoted(Letters(random_, kNameLetters, 200 + random_.Below(200)));
        }
    }

    Random& random_;
    std::string out_;
    bool lastQuoted_ = false;
    bool wellFormed_ = true;
};

// --- Mutations ---------------------------------------------------------------

// The text as alternating runs of blanks and of other bytes ("words"); a word
// is not always a token of the engine, which is the point.
struct Piece {
    std::string text;
    bool blank;
};

std::vector<Piece> Split(const std::string& text)
{
    std::vector<Piece> pieces;
    for (size_t i = 0; i < text.size();) {
        const bool blank = IsBlank(text[i]);
        size_t end = i;
        while (end < text.size() && IsBlank(text[end]) == blank)
            ++end;
        pieces.push_back({text.substr(i, end - i), blank});
        i = end;
    }
    return pieces;
}

std::string Join(const std::vector<Piece>& pieces)
{
    std::string text;
    for (const Piece& piece : pieces)
        text += piece.text;
    return text;
}

std::vector<size_t> Words(const std::vector<Piece>& pieces)
{
    std::vector<size_t> words;
    for (size_t i = 0; i < pieces.size(); ++i) {
        if (!pieces[i].blank)
            words.push_back(i);
    }
    return words;
}

size_t AnyOf(Random& random, size_t count) { return random.Below(static_cast<uint32_t>(count)); }

// Puts token between two words, or at either end.
void InsertWord(Random& random, std::string& text, const std::string& token)
{
    std::vector<Piece> pieces = Split(text);
    const size_t at = AnyOf(random, pieces.size() + 1);
    pieces.insert(pieces.begin() + static_cast<std::ptrdiff_t>(at), {{" ", true}, {token, false}, {" ", true}});
    text = Join(pieces);
}

// Puts bytes at any byte of the text, inside words and characters too.
void InsertBytes(Random& random, std::string& text, const std::string& bytes)
{
    text.insert(AnyOf(random, text.size() + 1), bytes);
}

bool ReplaceWord(Random& random, std::string& text, const std::string& token)
{
    std::vector<Piece> pieces = Split(text);
    const std::vector<size_t> words = Words(pieces);
    if (words.empty())
        return false;
    pieces[words[AnyOf(random, words.size())]].text = token;
    text = Join(pieces);
    return true;
}

void EraseOneOf(Random& random, std::string& text, const char* bytes)
{
    std::vector<size_t> found;
    for (size_t i = 0; i < text.size(); ++i) {
        if (std::strchr(bytes, text[i]) != nullptr && text[i] != '\0')
            found.push_back(i);
    }
    if (!found.empty())
        text.erase(found[AnyOf(random, found.size())], 1);
}

std::string LongToken(Random& random, std::string& recipe)
{
    static const size_t kLengths[] = {4092, 4093, 4094, 4095, 4096, 4200};
    const size_t length = random.Pick(kLengths);
    std::string body(length, 'a');
    switch (random.Below(5)) {
    case 0:
        recipe += " long-token(" + std::to_string(length) + ")";
        return body;
    case 1:
        recipe += " long-token(" + std::to_string(length) + ",quoted)";
        return Quoted(body);
    case 2:
        // Doubled quotes inside: the token holds fewer bytes than the text.
        body.replace(length - 2, 2, "'");
        recipe += " long-token(" + std::to_string(length - 1) + ",quoted,doubled quote)";
        return Quoted(body);
    case 3:
        // A double-byte character begun just under the limit, or just at it.
        body.replace(length - 1, 1, "\x83\x5C");
        recipe += " long-token(" + std::to_string(length + 1) + ",double-byte at the end)";
        return random.Percent(50) ? Quoted(body) : body;
    default:
        recipe += " long-token(" + std::to_string(length) + ",double-byte)";
        return LongName(random, length);
    }
}

std::string DeepNesting(Random& random, std::string& recipe)
{
    static const size_t kDepths[] = {200, 510, 511, 512, 513, 600};
    const size_t depth = random.Pick(kDepths);
    std::string out;
    const uint32_t shape = random.Below(4);
    for (size_t i = 0; i < depth; ++i)
        out += shape == 3 ? "{ " : (shape == 2 && i % 7 == 0 ? "n = s x { " : "n { ");
    const bool balanced = random.Percent(80);
    if (balanced) {
        for (size_t i = 0; i < (shape == 3 ? depth / 2 : depth); ++i)
            out += "} ";
    }
    recipe += " deep(" + std::to_string(depth) + (shape == 3 ? ",braces" : "") + (balanced ? "" : ",open") + ")";
    return out;
}

}  // namespace

std::string WriteScript(Random& random, bool* wellFormed)
{
    Writer writer(random);
    std::string text = writer.Script();
    *wellFormed = writer.wellFormed();
    return text;
}

void Mutate(Random& random, std::string& text, std::string& recipe)
{
    switch (random.Below(15)) {
    case 0: {
        std::vector<Piece> pieces = Split(text);
        const std::vector<size_t> words = Words(pieces);
        if (!words.empty())
            pieces.erase(pieces.begin() + static_cast<std::ptrdiff_t>(words[AnyOf(random, words.size())]));
        text = Join(pieces);
        recipe += " drop";
        break;
    }
    case 1: {
        std::vector<Piece> pieces = Split(text);
        const std::vector<size_t> words = Words(pieces);
        if (!words.empty()) {
            const size_t at = words[AnyOf(random, words.size())];
            const Piece copy = pieces[at];
            pieces.insert(pieces.begin() + static_cast<std::ptrdiff_t>(at) + 1, {{" ", true}, copy});
        }
        text = Join(pieces);
        recipe += " duplicate";
        break;
    }
    case 2: {
        std::vector<Piece> pieces = Split(text);
        const std::vector<size_t> words = Words(pieces);
        if (!words.empty())
            std::swap(pieces[words[AnyOf(random, words.size())]].text, pieces[words[AnyOf(random, words.size())]].text);
        text = Join(pieces);
        recipe += " swap";
        break;
    }
    case 3:
        text.resize(AnyOf(random, text.size() + 1));
        recipe += " truncate";
        break;
    case 4:
        if (random.Percent(50))
            InsertBytes(random, text, "'");
        else
            EraseOneOf(random, text, "'");
        recipe += " quote";
        break;
    case 5:
        if (random.Percent(50))
            InsertBytes(random, text, random.Percent(50) ? "{" : "}");
        else
            EraseOneOf(random, text, "{}");
        recipe += " brace";
        break;
    case 6:
        if (random.Percent(50))
            InsertWord(random, text, random.Percent(50) ? "{" : "}");
        else
            InsertWord(random, text, random.Percent(50) ? "{ {" : "} }");
        recipe += " brace-token";
        break;
    case 7: {
        const std::string token = LongToken(random, recipe);
        if (random.Percent(50) || !ReplaceWord(random, text, token))
            InsertWord(random, text, token);
        break;
    }
    case 8: {
        static const size_t kLengths[] = {254, 255, 256, 257, 258, 259, 260, 261, 300, 1000};
        const size_t length = random.Pick(kLengths);
        std::string name = LongName(random, length);
        if (random.Percent(30))
            name = Quoted(name);
        if (!ReplaceWord(random, text, name))
            InsertWord(random, text, name);
        recipe += " long-name(" + std::to_string(length) + ")";
        break;
    }
    case 9:
        InsertWord(random, text, DeepNesting(random, recipe));
        break;
    case 10:
        if (random.Percent(20))
            text += "\x83";  // a lead byte as the very last byte
        else
            InsertBytes(random, text, random.Pick(kDoubleBytePieces));
        recipe += " double-byte";
        break;
    case 11: {
        std::string piece = random.Pick(kPercentPieces);
        const uint32_t roll = random.Below(10);
        if (roll == 0)
            piece = "%" + Letters(random, kNameLetters, 31) + "%";
        else if (roll == 1)
            piece = "%" + Letters(random, kNameLetters, 32) + "%";
        if (random.Percent(15))
            text += "%";
        else
            InsertBytes(random, text, piece);
        recipe += " percent";
        break;
    }
    case 12:
        InsertWord(random, text, random.Pick(kVocabulary));
        recipe += " insert";
        break;
    case 13:
        if (!ReplaceWord(random, text, random.Pick(kVocabulary)))
            InsertWord(random, text, random.Pick(kVocabulary));
        recipe += " replace";
        break;
    default:
        // Blanks gone: two words run together.
        {
            std::vector<Piece> pieces = Split(text);
            std::vector<size_t> blanks;
            for (size_t i = 0; i < pieces.size(); ++i) {
                if (pieces[i].blank)
                    blanks.push_back(i);
            }
            if (!blanks.empty())
                pieces.erase(pieces.begin() + static_cast<std::ptrdiff_t>(blanks[AnyOf(random, blanks.size())]));
            text = Join(pieces);
        }
        recipe += " join";
        break;
    }
}

FuzzCase MakeCase(uint64_t seed, uint64_t index, const std::vector<ShippedScript>& shipped)
{
    Random random(seed ^ (index * 0xD1B54A32D192ED03ull));
    random.Next();
    FuzzCase fuzzCase;
    if (!shipped.empty() && random.Percent(25)) {
        const ShippedScript& script = shipped[AnyOf(random, shipped.size())];
        fuzzCase.text = script.text;
        fuzzCase.wellFormed = true;
        fuzzCase.recipe = script.name + ":";
    } else {
        fuzzCase.text = WriteScript(random, &fuzzCase.wellFormed);
        fuzzCase.recipe = "grammar:";
    }
    // Mostly one or two mutations, so that many texts still hold a section
    // that both passes can read to its end.
    static const uint32_t kMutationCounts[] = {0, 0, 1, 1, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 4};
    const uint32_t mutations = random.Pick(kMutationCounts);
    for (uint32_t i = 0; i < mutations; ++i)
        Mutate(random, fuzzCase.text, fuzzCase.recipe);
    fuzzCase.wellFormed = fuzzCase.wellFormed && mutations == 0;
    return fuzzCase;
}

}  // namespace script_fuzz
