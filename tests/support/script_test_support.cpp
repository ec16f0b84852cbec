#include "script_test_support.h"

#include <gtest/gtest.h>

#include "server_module.h"
#include "task_memory.h"

namespace script_test {

namespace {

class MapScope {
public:
    explicit MapScope(const Pairs& pairs)
    {
        created_ = SUCCEEDED(map_.Create());
        // Like the engine's own caller, a pair that cannot be added is absent.
        for (const auto& pair : pairs) {
            if (created_)
                map_.Add(pair.first.c_str(), pair.second.c_str());
        }
    }
    ~MapScope()
    {
        if (created_)
            map_.Destroy();
    }
    bool created() const { return created_; }
    ReplacementMap* get() { return &map_; }

private:
    ReplacementMap map_ = {};
    bool created_ = false;
};

}  // namespace

HRESULT RunText(const std::string& text, BOOL registering, const Pairs& pairs)
{
    MapScope map(pairs);
    if (!map.created())
        return E_OUTOFMEMORY;
    ScriptEngine engine = {nullptr, map.get(), 0};
    return RunScriptText(&engine, text.c_str(), registering);
}

TokenWalk Tokens(const std::string& text)
{
    TokenWalk walk;
    ScriptEngine engine = {text.c_str(), nullptr, 0};
    std::vector<char> token(kTokenBufferSize, 'x');
    for (;;) {
        walk.end = ReadToken(&engine, token.data());
        if (FAILED(walk.end))
            break;
        walk.tokens.emplace_back(token.data());
    }
    return walk;
}

Expansion Expand(const std::string& text, const Pairs& pairs)
{
    MapScope map(pairs);
    Expansion result;
    if (!map.created()) {
        result.result = E_OUTOFMEMORY;
        return result;
    }
    ScriptEngine engine = {nullptr, map.get(), 0};
    char* expanded = reinterpret_cast<char*>(1);
    result.result = ExpandVariables(&engine, text.c_str(), &expanded);
    if (SUCCEEDED(result.result)) {
        result.text = expanded;
        TaskFree(expanded);
    } else {
        result.outputNullOnFailure = expanded == nullptr;
    }
    return result;
}

std::string Under(const testing_support::ScratchKey& scratch, const std::string& body)
{
    std::string opening = "HKCU\r\n{\r\n";
    std::string closing = "}\r\n";
    const std::string& path = scratch.path();
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('\\', start);
        if (end == std::string::npos)
            end = path.size();
        opening += "NoRemove '" + path.substr(start, end - start) + "'\r\n{\r\n";
        closing = "}\r\n" + closing;
        start = end + 1;
    }
    return opening + body + "\r\n" + closing;
}

RawValue ReadValue(HKEY root, const std::string& path, const char* valueName)
{
    RawValue value;
    HKEY key;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return value;
    DWORD size = 0;
    if (RegQueryValueExA(key, valueName, nullptr, &value.type, nullptr, &size) == ERROR_SUCCESS) {
        value.data.resize(size);
        if (RegQueryValueExA(key, valueName, nullptr, &value.type, value.data.data(), &size) == ERROR_SUCCESS) {
            value.found = true;
            value.data.resize(size);
        }
    }
    RegCloseKey(key);
    return value;
}

namespace {

bool QueryCounts(HKEY root, const std::string& path, DWORD* subkeys, DWORD* values)
{
    HKEY key;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    const LONG status = RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, subkeys, nullptr, nullptr, values, nullptr,
                                         nullptr, nullptr, nullptr);
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

}  // namespace

DWORD CountSubkeys(HKEY root, const std::string& path)
{
    DWORD subkeys = 0, values = 0;
    return QueryCounts(root, path, &subkeys, &values) ? subkeys : MAXDWORD;
}

DWORD CountValues(HKEY root, const std::string& path)
{
    DWORD subkeys = 0, values = 0;
    return QueryCounts(root, path, &subkeys, &values) ? values : MAXDWORD;
}

std::vector<BYTE> Bytes(std::initializer_list<int> values)
{
    std::vector<BYTE> bytes;
    for (int v : values)
        bytes.push_back(static_cast<BYTE>(v));
    return bytes;
}

ModuleScope::ModuleScope() { EXPECT_EQ(S_OK, serverModule.Setup(nullptr, GetModuleHandleA(nullptr))); }

ModuleScope::~ModuleScope() { ServerModule::Teardown(&serverModule); }

std::string CurrentTestName()
{
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return std::string(info->test_suite_name()) + "." + info->name();
}

}  // namespace script_test
