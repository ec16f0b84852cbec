// Helpers for the registry-script engine's tests: running script text,
// wrapping a script body so that it works inside a scratch key, and reading
// back what reached the registry through the platform's own functions.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "registrar/script_applier.h"
#include "registrar/script_reader.h"
#include "registrar/script_text.h"
#include "wine_test_support.h"

namespace script_test {

using Pairs = std::vector<std::pair<std::wstring, std::wstring>>;

// Runs text through the section loop with a map holding pairs.
HRESULT RunText(const std::string& text, BOOL registering, const Pairs& pairs = {});
inline HRESULT Register(const std::string& text) { return RunText(text, TRUE); }
inline HRESULT Unregister(const std::string& text) { return RunText(text, FALSE); }

// Every token of text and the result of the read that ended the walk.
struct TokenWalk {
    std::vector<std::string> tokens;
    HRESULT end = S_OK;  // DISP_E_EXCEPTION at the end of the text
};
TokenWalk Tokens(const std::string& text);

// The expanded text, or the failure; the out-pointer stays null on failure.
struct Expansion {
    HRESULT result = E_UNEXPECTED;
    std::string text;
    bool outputNullOnFailure = true;
};
Expansion Expand(const std::string& text, const Pairs& pairs = {});

// HKCU, then every level of the scratch key's path under "NoRemove", so that
// both passes work inside the scratch key and never remove it.
std::string Under(const testing_support::ScratchKey& scratch, const std::string& body);

// Raw registry reads.
struct RawValue {
    bool found = false;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};
RawValue ReadValue(HKEY root, const std::string& path, const char* valueName);
DWORD CountSubkeys(HKEY root, const std::string& path);
DWORD CountValues(HKEY root, const std::string& path);
std::vector<BYTE> Bytes(std::initializer_list<int> values);

// The server module set up for one test, its heaps torn down afterwards.
class ModuleScope {
public:
    ModuleScope();
    ~ModuleScope();
    ModuleScope(const ModuleScope&) = delete;
    ModuleScope& operator=(const ModuleScope&) = delete;
};

// The name of the running test, for scratch keys.
std::string CurrentTestName();

// A test with the server module set up and a scratch key of its own.
class ScriptOnRegistry : public ::testing::Test {
protected:
    std::string Path(const std::string& sub = "") const
    {
        return sub.empty() ? scratch_.path() : scratch_.path() + "\\" + sub;
    }
    bool Exists(const std::string& sub) const { return testing_support::KeyExists(HKEY_CURRENT_USER, Path(sub)); }
    bool HasValue(const std::string& sub, const char* name) const
    {
        return testing_support::ValueExists(HKEY_CURRENT_USER, Path(sub), name);
    }
    std::string Text(const std::string& sub, const char* name = nullptr) const
    {
        std::string value;
        return testing_support::ReadString(HKEY_CURRENT_USER, Path(sub), name, &value) ? value : "<none>";
    }
    RawValue Raw(const std::string& sub, const char* name = nullptr) const
    {
        return ReadValue(HKEY_CURRENT_USER, Path(sub), name);
    }
    void Put(const std::string& sub, const char* name, const std::string& value) const
    {
        ASSERT_TRUE(testing_support::WriteString(HKEY_CURRENT_USER, Path(sub), name, value)) << sub;
    }
    DWORD Subkeys(const std::string& sub = "") const { return CountSubkeys(HKEY_CURRENT_USER, Path(sub)); }
    DWORD Values(const std::string& sub = "") const { return CountValues(HKEY_CURRENT_USER, Path(sub)); }

    HRESULT RegisterBody(const std::string& body) const { return Register(Under(scratch_, body)); }
    HRESULT UnregisterBody(const std::string& body) const { return Unregister(Under(scratch_, body)); }

    // The last level of the scratch key's path, for scripts that name it.
    std::wstring Leaf() const
    {
        const std::string& path = scratch_.path();
        const std::string leaf = path.substr(path.rfind('\\') + 1);
        return std::wstring(leaf.begin(), leaf.end());
    }

    // A script resource of this program, given the scratch key's last level
    // as the variable SCRATCH.
    HRESULT ApplyResource(const ModulePathSource& source, WORD id, BOOL registering) const
    {
        const std::wstring leaf = Leaf();
        const ScriptVariable pairs[] = {{L"Scratch", leaf.c_str()}, {nullptr, nullptr}};
        return ApplyScriptResourceFrom(source, id, registering, pairs);
    }

    ModuleScope module_;
    testing_support::ScratchKey scratch_{CurrentTestName()};
};

}  // namespace script_test
