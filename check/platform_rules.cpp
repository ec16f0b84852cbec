#include "platform_rules.h"

#include "registrar/command_line_quoting.h"

#include <windows.h>

#include <cwchar>

namespace check {

namespace {

bool SameText(const std::wstring& a, const wchar_t* b) { return lstrcmpiW(a.c_str(), b) == 0; }

std::wstring WithDefaultExtension(const std::wstring& name)
{
    const size_t part = name.find_last_of(L"\\/");
    const size_t dot = name.find_last_of(L'.');
    if (dot != std::wstring::npos && (part == std::wstring::npos || dot > part))
        return name;
    return name + L".exe";
}

std::wstring JoinFolder(const std::wstring& folder, const std::wstring& name)
{
    if (folder.empty() || folder.back() == L'\\' || folder.back() == L'/')
        return folder + name;
    return folder + L"\\" + name;
}

// "1.a" as major 1, minor 10; false for anything else.
bool ParseVersion(const std::wstring& text, unsigned long* major, unsigned long* minor)
{
    const size_t dot = text.find(L'.');
    if (dot == 0 || dot == std::wstring::npos || dot + 1 == text.size() ||
        text.find_first_not_of(L"0123456789abcdefABCDEF.") != std::wstring::npos ||
        text.find(L'.', dot + 1) != std::wstring::npos)
        return false;
    *major = std::wcstoul(text.substr(0, dot).c_str(), nullptr, 16);
    *minor = std::wcstoul(text.substr(dot + 1).c_str(), nullptr, 16);
    return true;
}

}  // namespace

ComponentApartment ApartmentOfModel(const std::wstring* model)
{
    // Absent, Apartment, Both, Single and any value COM does not know all
    // leave the class in the creator's apartment.
    if (model == nullptr)
        return ComponentApartment::kMain;
    if (SameText(*model, L"Free"))
        return ComponentApartment::kFree;
    if (SameText(*model, L"Neutral"))
        return ComponentApartment::kNeutral;
    return ComponentApartment::kMain;
}

CommandProgram ProgramsOfCommand(const std::wstring& command)
{
    CommandProgram result;
    size_t start = 0;
    while (start < command.size() && command_line::IsBlank(command[start]))
        ++start;
    if (start == command.size()) {
        result.problem = "the value is empty";
        return result;
    }
    if (command[start] == L'"') {
        result.quoted = true;
        const size_t end = command.find(L'"', start + 1);
        if (end == std::wstring::npos) {
            result.problem = "a double quote opens the program's name and none closes it";
            return result;
        }
        if (end == start + 1) {
            result.problem = "the value names no program";
            return result;
        }
        result.candidates.push_back(WithDefaultExtension(command.substr(start + 1, end - start - 1)));
        return result;
    }
    for (size_t end = start; end <= command.size(); ++end) {
        if (end < command.size() && !command_line::IsBlank(command[end]))
            continue;
        if (end > start && !command_line::IsBlank(command[end - 1]))
            result.candidates.push_back(WithDefaultExtension(command.substr(start, end - start)));
    }
    return result;
}

bool HasFolder(const std::wstring& name) { return name.find_first_of(L"\\/:") != std::wstring::npos; }

bool IsAbsolute(const std::wstring& name)
{
    return (name.size() >= 3 && name[1] == L':' && (name[2] == L'\\' || name[2] == L'/')) ||
           (name.size() >= 2 && (name[0] == L'\\' || name[0] == L'/') && (name[1] == L'\\' || name[1] == L'/'));
}

std::vector<std::wstring> LibrarySearchOrder(const SearchFacts& facts, const std::wstring& name)
{
    SearchFacts reordered = facts;
    reordered.currentFolder = facts.systemFolder;
    std::vector<std::wstring> order = SearchOrder(reordered, name);
    if (order.size() < 5)
        return HasFolder(name) && !IsAbsolute(name) ? std::vector<std::wstring>{JoinFolder(facts.currentFolder, name)}
                                                    : order;
    // The launcher's folder, then the system folder (which took the current
    // folder's place), the 16-bit one and Windows; the current folder after.
    order.erase(order.begin() + 2);
    order.insert(order.begin() + 4, JoinFolder(facts.currentFolder, name));
    return order;
}

std::vector<std::wstring> SearchOrder(const SearchFacts& facts, const std::wstring& name)
{
    if (IsAbsolute(name))
        return {name};
    // A relative name with a folder is taken from the current folder only.
    if (HasFolder(name))
        return {JoinFolder(facts.currentFolder, name)};
    std::vector<std::wstring> order = {JoinFolder(facts.launcherFolder, name), JoinFolder(facts.currentFolder, name),
                                       JoinFolder(facts.systemFolder, name),
                                       JoinFolder(JoinFolder(facts.windowsFolder, L"System"), name),
                                       JoinFolder(facts.windowsFolder, name)};
    size_t begin = 0;
    while (begin <= facts.path.size()) {
        size_t end = facts.path.find(L';', begin);
        if (end == std::wstring::npos)
            end = facts.path.size();
        if (end > begin)
            order.push_back(JoinFolder(facts.path.substr(begin, end - begin), name));
        begin = end + 1;
    }
    return order;
}

std::wstring ExpandVariables(const std::wstring& text, const VariableLookup& lookup)
{
    std::wstring result;
    size_t at = 0;
    while (at < text.size()) {
        const size_t open = text.find(L'%', at);
        const size_t close = open == std::wstring::npos ? open : text.find(L'%', open + 1);
        if (close == std::wstring::npos) {
            result += text.substr(at);
            break;
        }
        result += text.substr(at, open - at);
        std::wstring value;
        if (close > open + 1 && lookup(text.substr(open + 1, close - open - 1), &value)) {
            result += value;
            at = close + 1;
        } else {
            // The closing sign may open the next name.
            result += L'%';
            at = open + 1;
            result += text.substr(at, close - at);
            at = close;
        }
    }
    return result;
}

std::wstring VariableSeenBy(const std::wstring& name, int bits)
{
    struct Pair {
        const wchar_t* name;
        const wchar_t* of32;
        const wchar_t* of64;
    };
    static const Pair kPairs[] = {
        {L"ProgramFiles", L"ProgramFiles(x86)", L"ProgramW6432"},
        {L"CommonProgramFiles", L"CommonProgramFiles(x86)", L"CommonProgramW6432"},
    };
    for (const Pair& pair : kPairs) {
        if (SameText(name, pair.name))
            return bits == 32 ? pair.of32 : pair.of64;
    }
    return name;
}

std::wstring LibraryVersionServing(const std::vector<std::wstring>& registered, const std::wstring& wanted)
{
    unsigned long major = 0;
    unsigned long minor = 0;
    if (!ParseVersion(wanted, &major, &minor))
        return std::wstring();
    std::wstring best;
    unsigned long bestMinor = 0;
    for (const std::wstring& version : registered) {
        unsigned long itsMajor = 0;
        unsigned long itsMinor = 0;
        if (!ParseVersion(version, &itsMajor, &itsMinor) || itsMajor != major || itsMinor < minor)
            continue;
        if (itsMinor == minor)
            return version;
        if (best.empty() || itsMinor > bestMinor) {
            best = version;
            bestMinor = itsMinor;
        }
    }
    return best;
}

int ServerViewOf(int preferredBitness, int clientBits, bool in32, bool in64)
{
    if (!in32 && !in64)
        return 0;
    int preferred = clientBits;
    if (preferredBitness == 2)
        preferred = 32;
    else if (preferredBitness == 3)
        preferred = 64;
    if (preferred == 64)
        return in64 ? 64 : 32;
    return in32 ? 32 : 64;
}

}  // namespace check
