// The text layer of the registry-script engine: stepping through characters
// of the ANSI code page, the substitution variables and their expansion, and
// the tokenizer with its limits. It knows nothing of keys or sections.
#include "registrar/script_text.h"

#include "errors.h"
#include "module_allocator.h"
#include "task_memory.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

wchar_t* CopyToTaskMemory(const wchar_t* text)
{
    const DWORD length = text == nullptr ? 0 : static_cast<DWORD>(lstrlenW(text));
    wchar_t* copy = static_cast<wchar_t*>(TaskAlloc((static_cast<SIZE_T>(length) + 1) * sizeof(wchar_t)));
    if (copy == nullptr)
        return nullptr;
    for (DWORD i = 0; i < length; ++i)
        copy[i] = text[i];
    copy[length] = L'\0';
    return copy;
}

// Makes room for count more bytes, doubling the capacity as often as needed.
HRESULT Reserve(ExpansionBuffer* buffer, SIZE_T count)
{
    if (count <= buffer->capacity - buffer->length)
        return S_OK;
    SIZE_T capacity = buffer->capacity;
    while (count > capacity - buffer->length) {
        if (capacity > static_cast<SIZE_T>(MAXLONG) / 2)
            return E_OUTOFMEMORY;
        capacity *= 2;
    }
    char* grown = static_cast<char*>(TaskRealloc(buffer->data, capacity));
    if (grown == nullptr)
        return E_OUTOFMEMORY;
    buffer->data = grown;
    buffer->capacity = capacity;
    return S_OK;
}

// Appends count bytes that end on a character boundary.
HRESULT AppendBytes(ExpansionBuffer* buffer, const char* bytes, SIZE_T count)
{
    RETURN_IF_FAILED(Reserve(buffer, count));
    char* out = buffer->data + buffer->length;
    for (SIZE_T i = 0; i < count; ++i)
        out[i] = bytes[i];
    buffer->length += count;
    return S_OK;
}

// Appends a replacement value in ANSI, converted straight into the buffer.
HRESULT AppendValue(ExpansionBuffer* buffer, const wchar_t* value)
{
    const int needed = WideCharToMultiByte(CP_ACP, 0, value, -1, nullptr, 0, nullptr, nullptr);
    if (needed <= 0)
        return LastErrorResult();
    RETURN_IF_FAILED(Reserve(buffer, static_cast<SIZE_T>(needed)));
    const int written =
        WideCharToMultiByte(CP_ACP, 0, value, -1, buffer->data + buffer->length, needed, nullptr, nullptr);
    if (written <= 0)
        return LastErrorResult();
    buffer->length += static_cast<SIZE_T>(written) - 1;  // without the terminating zero
    return S_OK;
}

// Copies the character at source to token[held]; returns the new count.
DWORD CopyChar(char* token, DWORD held, const char* source, const char** next)
{
    const char* after = NextChar(source);
    while (source != after)
        token[held++] = *source++;
    *next = after;
    return held;
}

}  // namespace

const char* NextChar(const char* text)
{
    const char* next = CharNextA(text);
    return next - text > 1 && text[1] == '\0' ? text + 1 : next;
}

// --- ReplacementMap -------------------------------------------------------

HRESULT ReplacementMap::Create()
{
    count = 0;
    capacity = 0;
    pairs = static_cast<ReplacementPair**>(ModuleAlloc(kInitialReplacementCapacity * sizeof(ReplacementPair*)));
    if (pairs == nullptr)
        return E_OUTOFMEMORY;
    capacity = kInitialReplacementCapacity;
    return S_OK;
}

HRESULT ReplacementMap::Add(const wchar_t* name, const wchar_t* value)
{
    if (count == capacity) {
        if (capacity > MAXLONG / 2 / static_cast<LONG>(sizeof(ReplacementPair*)))
            return E_OUTOFMEMORY;
        const LONG grownCapacity = capacity == 0 ? kInitialReplacementCapacity : capacity * 2;
        void* grown = ModuleRealloc(pairs, static_cast<DWORD>(grownCapacity) * sizeof(ReplacementPair*));
        if (grown == nullptr)
            return E_OUTOFMEMORY;
        pairs = static_cast<ReplacementPair**>(grown);
        capacity = grownCapacity;
    }
    ReplacementPair* pair = ModuleAllocRecord<ReplacementPair>();
    if (pair == nullptr)
        return E_OUTOFMEMORY;
    pair->name = CopyToTaskMemory(name);
    pair->value = pair->name == nullptr ? nullptr : CopyToTaskMemory(value);
    if (pair->value == nullptr) {
        TaskFree(pair->name);
        ModuleFree(pair);
        return E_OUTOFMEMORY;
    }
    pairs[count++] = pair;
    return S_OK;
}

const wchar_t* ReplacementMap::Find(const char* name) const
{
    for (LONG i = 0; i < count; ++i) {
        // A name that does not fit here is longer than any variable a script can write.
        char ansiName[kNameBufferSize];
        if (WideCharToMultiByte(CP_ACP, 0, pairs[i]->name, -1, ansiName, sizeof(ansiName), nullptr, nullptr) == 0)
            continue;
        if (lstrcmpiA(ansiName, name) == 0)
            return pairs[i]->value;
    }
    return nullptr;
}

HRESULT ReplacementMap::Clear()
{
    for (LONG i = 0; i < count; ++i) {
        TaskFree(pairs[i]->name);
        TaskFree(pairs[i]->value);
        ModuleFree(pairs[i]);
    }
    count = 0;
    return S_OK;
}

void ReplacementMap::Destroy()
{
    Clear();
    ModuleFree(pairs);
    pairs = nullptr;
    capacity = 0;
}

// --- Substitution -------------------------------------------------------

namespace {

HRESULT ExpandInto(ScriptEngine* engine, const char* text, ExpansionBuffer* buffer)
{
    const char* p = text;
    while (*p != '\0') {
        if (*p != '%') {
            // A run of whole characters up to the next percent sign.
            const char* run = p;
            do
                p = NextChar(p);
            while (*p != '\0' && *p != '%');
            RETURN_IF_FAILED(AppendBytes(buffer, run, static_cast<SIZE_T>(p - run)));
            continue;
        }
        const char* name = p + 1;
        if (*name == '%') {
            RETURN_IF_FAILED(AppendBytes(buffer, "%", 1));
            p = name + 1;
            continue;
        }
        const char* end = name;
        while (*end != '\0' && *end != '%')
            end = NextChar(end);
        if (*end == '\0')
            return DISP_E_EXCEPTION;
        const SIZE_T nameLength = static_cast<SIZE_T>(end - name);
        if (nameLength > kVariableNameLimit)
            return E_FAIL;
        char variable[kVariableNameLimit + 1];
        for (SIZE_T i = 0; i < nameLength; ++i)
            variable[i] = name[i];
        variable[nameLength] = '\0';
        const wchar_t* value = engine->replacements->Find(variable);
        if (value == nullptr)
            return DISP_E_EXCEPTION;
        // The value goes in once and is never scanned for variables again.
        RETURN_IF_FAILED(AppendValue(buffer, value));
        p = end + 1;
    }
    return AppendBytes(buffer, "", 1);
}

}  // namespace

HRESULT ExpandVariables(ScriptEngine* engine, const char* text, char** expanded)
{
    *expanded = nullptr;
    const SIZE_T textLength = static_cast<SIZE_T>(lstrlenA(text));
    ExpansionBuffer buffer = {0, textLength == 0 ? 1 : 2 * textLength, nullptr};
    buffer.data = static_cast<char*>(TaskAlloc(buffer.capacity));
    if (buffer.data == nullptr)
        return E_OUTOFMEMORY;
    const HRESULT hr = ExpandInto(engine, text, &buffer);
    if (FAILED(hr)) {
        TaskFree(buffer.data);
        return hr;
    }
    *expanded = buffer.data;
    return S_OK;
}

// --- Tokens ---------------------------------------------------------------

void SkipBlanks(ScriptEngine* engine)
{
    const char* p = engine->position;
    while (IsBlank(*p))
        p = NextChar(p);
    engine->position = p;
}

bool IsClosingQuote(const char* position) { return *position == '\'' && *NextChar(position) != '\''; }

// A lead byte that the text ends on begins a character that is not there.
// Taken into a name, it would reach the registry as a name that nothing but
// the same broken bytes can address again.
bool IncompleteCharacter(const char* p) { return IsDBCSLeadByte(static_cast<BYTE>(*p)) && p[1] == '\0'; }

HRESULT ReadToken(ScriptEngine* engine, char* token)
{
    token[0] = '\0';
    SkipBlanks(engine);
    const char* p = engine->position;
    if (*p == '\0')
        return DISP_E_EXCEPTION;
    DWORD held = 0;
    if (*p == '\'') {
        p = NextChar(p);
        for (;;) {
            if (*p == '\0') {
                token[0] = '\0';
                return DISP_E_EXCEPTION;
            }
            if (IsClosingQuote(p)) {
                p = NextChar(p);
                break;
            }
            if (*p == '\'')
                p = NextChar(p);  // of two quotes, the second is copied
            if (held >= kTokenLimit) {
                token[0] = '\0';
                return DISP_E_EXCEPTION;
            }
            held = CopyChar(token, held, p, &p);
        }
    } else {
        while (*p != '\0' && !IsBlank(*p)) {
            if (held >= kTokenLimit || IncompleteCharacter(p)) {
                token[0] = '\0';
                return DISP_E_EXCEPTION;
            }
            held = CopyChar(token, held, p, &p);
        }
    }
    token[held] = '\0';
    engine->position = p;
    return S_OK;
}
