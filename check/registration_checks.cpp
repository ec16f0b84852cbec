// Checks 1 to 4: what the registry says and whether the files it names are
// there and of the right machine.
#include <windows.h>
#include <ole2.h>

#include "deployment_checks.h"
#include "deployment_reader.h"
#include "guids.h"

namespace check {

namespace {

// The platform's type library marshalers: the one for dual and oleautomation
// interfaces, and the one for dispinterfaces.
constexpr CLSID kTypeLibraryMarshaler = {0x00020424, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constexpr CLSID kDispatchMarshaler = {0x00020420, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

std::string ViewText(int bits) { return std::to_string(bits) + "-bit view"; }

void CheckProgId(Report& report)
{
    const std::wstring key = std::wstring(kKelmoProgId) + L"\\CLSID";
    const StringValue value = ReadString(ClientBits(), key, nullptr);
    CLSID named = {};
    const std::string what = "ProgID " + Ascii(kKelmoProgId);
    if (value.state != ValueState::kPresent) {
        report.Fail(what + ": " + ValueProblem(value), "register the server: Kelmo7.exe /RegServer, elevated",
                    kEntryClassNotRegistered);
    } else if (FAILED(CLSIDFromString(value.text.c_str(), &named)) || !IsEqualCLSID(named, CLSID_Kelmo)) {
        report.Fail(what + " -> " + Ascii(value.text) + ", not " + GuidText(CLSID_Kelmo),
                    "register the server again: Kelmo7.exe /RegServer, elevated", kEntryClassNotRegistered);
    } else {
        report.Pass(what + " -> " + GuidText(CLSID_Kelmo));
    }
}

// A file named by the registry of view `bits`: it exists and is a PE for
// `expectedBits` (0: either machine of x86 Windows), a DLL or a program.
// Returns its machine's bitness, 0 after a failure.
int CheckFile(Report& report, const std::string& what, const std::wstring& path, int bits, int expectedBits, bool dll,
              const std::string& todo, const char* entry)
{
    const PeFile pe = ReadPe(path, bits);
    const std::string file = what + " " + Ascii(path);
    if (FAILED(pe.hr)) {
        report.Fail(file + ": " + HresultText(pe.hr), todo, entry);
        return 0;
    }
    const int machineBits = MachineBits(pe.machine);
    if (machineBits == 0 || pe.dll != dll || (expectedBits != 0 && machineBits != expectedBits)) {
        report.Fail(file + " is a " + (pe.dll ? "DLL" : "program") + " for " + MachineText(pe.machine) +
                        (expectedBits != 0 ? ", not a " + std::to_string(expectedBits) + "-bit " : ", not a ") +
                        (dll ? "DLL" : "program"),
                    todo, entry);
        return 0;
    }
    report.Pass(file + " is a " + (dll ? "DLL" : "program") + " for " + MachineText(pe.machine));
    return machineBits;
}

// The class in one view; the server's bitness and file name when its program
// is there.
void CheckClassInView(Report& report, int bits, Deployment* deployment)
{
    const std::wstring classKey = L"CLSID\\" + GuidKey(CLSID_Kelmo);
    const std::string where = "class, " + ViewText(bits) + ":";
    const StringValue command = ReadString(bits, classKey + L"\\LocalServer32", nullptr);
    std::wstring program;
    std::string problem;
    if (command.state != ValueState::kPresent) {
        report.Fail(where + " LocalServer32: " + ValueProblem(command),
                    "register the server again: Kelmo7.exe /RegServer, elevated", kEntryServerExecFailure);
    } else if (!ProgramOfCommand(command.text, &program, &problem)) {
        report.Fail(where + " LocalServer32 [" + Ascii(command.text) + "]: " + problem,
                    "register the server again: Kelmo7.exe /RegServer, elevated", kEntryServerExecFailure);
    } else {
        const bool quoted = command.text.find(L'"') != std::wstring::npos;
        report.Pass(where + " LocalServer32 [" + Ascii(command.text) + "], " +
                    (quoted ? "quoted" : "no quotes needed"));
        const int serverBits =
            CheckFile(report, where + " server", program, bits, 0, false,
                      "reinstall, or run Kelmo7.exe /RegServer where the file now is", kEntryServerExecFailure);
        if (serverBits != 0 && serverBits != bits) {
            // The server registers the class in its own view; its components
            // and its type library are read in that view.
            report.Fail(where + " names a " + std::to_string(serverBits) + "-bit server: registered in the other view",
                        "remove this registration and run Kelmo7.exe /RegServer, elevated", kEntryClassNotRegistered);
        } else if (serverBits != 0 && (deployment->serverBits == 0 || bits == ClientBits())) {
            // The platform prefers the server of the client's own view.
            deployment->serverBits = serverBits;
            deployment->serverName = FileNameOf(program);
        }
    }
    const StringValue appId = ReadString(bits, classKey, L"AppID");
    CLSID named = {};
    if (appId.state != ValueState::kPresent || FAILED(CLSIDFromString(appId.text.c_str(), &named)) ||
        !IsEqualGUID(named, APPID_Kelmo7) || !KeyExists(bits, L"AppID\\" + GuidKey(APPID_Kelmo7))) {
        report.Fail(where + " AppID " +
                        (appId.state == ValueState::kPresent ? Ascii(appId.text) : ValueProblem(appId)) +
                        ", expected " + GuidText(APPID_Kelmo7) + " with its AppID key",
                    "register the server again: Kelmo7.exe /RegServer, elevated", kEntryClassNotRegistered);
    } else {
        report.Pass(where + " AppID " + GuidText(APPID_Kelmo7));
    }
}

void CheckComponent(Report& report, int serverBits)
{
    const std::wstring key = L"CLSID\\" + GuidKey(CLSID_HostedComponent) + L"\\InprocServer32";
    const std::string where =
        "component " + GuidText(CLSID_HostedComponent) + ", server's " + ViewText(serverBits) + ":";
    const char* const todo = "install the component with its own installer, as a DLL of the server's bitness";
    const StringValue path = ReadString(serverBits, key, nullptr);
    if (path.state != ValueState::kPresent) {
        report.Fail(where + " InprocServer32: " + ValueProblem(path), todo, kEntryComponent);
        return;
    }
    CheckFile(report, where + " InprocServer32", path.text, serverBits, serverBits, true, todo, kEntryComponent);
    const StringValue model = ReadString(serverBits, key, L"ThreadingModel");
    const std::wstring& name = model.text;
    const auto is = [&name](const wchar_t* allowed) { return lstrcmpiW(name.c_str(), allowed) == 0; };
    if (model.state == ValueState::kNoValue) {
        report.Pass(where + " no ThreadingModel: single-threaded, aggregatable by the server");
    } else if (model.state == ValueState::kPresent && (is(L"Apartment") || is(L"Both") || is(L"Neutral"))) {
        report.Pass(where + " ThreadingModel " + Ascii(name) + ": aggregatable by the single-threaded server");
    } else {
        report.Fail(where + " ThreadingModel " +
                        (model.state == ValueState::kPresent ? Ascii(name) : ValueProblem(model)) +
                        ": the single-threaded server cannot aggregate it",
                    "ask the component's vendor for a component that allows the apartment model", kEntryComponent);
    }
}

// The library entry that the type library marshaler of this client loads.
void CheckTypeLibrary(Report& report, const std::string& where, const std::wstring& interfaceKey, const IID& iid,
                      const std::string& todo, const char* entry)
{
    const StringValue libraryId = ReadString(ClientBits(), interfaceKey + L"\\TypeLib", nullptr);
    const StringValue version = ReadString(ClientBits(), interfaceKey + L"\\TypeLib", L"Version");
    GUID library = {};
    if (libraryId.state != ValueState::kPresent || version.state != ValueState::kPresent ||
        FAILED(CLSIDFromString(libraryId.text.c_str(), &library))) {
        report.Fail(where + " TypeLib: " + ValueProblem(libraryId.state == ValueState::kPresent ? version : libraryId),
                    todo, entry);
        return;
    }
    const std::wstring base = L"TypeLib\\" + libraryId.text + L"\\" + version.text + L"\\0\\";
    const wchar_t* const platform = ClientBits() == 64 ? L"win64" : L"win32";
    StringValue path = ReadString(ClientBits(), base + platform, nullptr);
    const std::string libraryText = where + " library " + Ascii(libraryId.text) + " " + Ascii(version.text);
    std::string what = libraryText + " " + Ascii(platform);
    if (path.state != ValueState::kPresent && ClientBits() == 64) {
        // Under Wine a 64-bit client fell back to the win32 entry; a 32-bit
        // client did not fall back to win64.
        path = ReadString(ClientBits(), base + L"win32", nullptr);
        what = libraryText + " win32 (no win64 entry; a 64-bit client falls back to win32)";
        if (path.state == ValueState::kNoKey)
            what = libraryText + " win64";
    }
    if (path.state != ValueState::kPresent) {
        report.Fail(what + ": " + (path.state == ValueState::kNoKey ? "no entry" : ValueProblem(path)), todo, entry);
        return;
    }
    ITypeLib* typeLibrary = nullptr;
    ITypeInfo* info = nullptr;
    HRESULT hr = LoadTypeLibEx(path.text.c_str(), REGKIND_NONE, &typeLibrary);
    if (SUCCEEDED(hr))
        hr = ITypeLib_GetTypeInfoOfGuid(typeLibrary, iid, &info);
    if (info != nullptr)
        ITypeInfo_Release(info);
    if (typeLibrary != nullptr)
        ITypeLib_Release(typeLibrary);
    if (FAILED(hr))
        report.Fail(what + " " + Ascii(path.text) + ": " + HresultText(hr), todo, entry);
    else
        report.Pass(what + " " + Ascii(path.text) + " loads and describes the interface");
}

void CheckMarshaling(Report& report, const char* name, const IID& iid, const std::string& todo, const char* entry)
{
    const std::wstring key = L"Interface\\" + GuidKey(iid);
    const std::string where = std::string(name) + " " + GuidText(iid) + ", client's " + ViewText(ClientBits()) + ":";
    const StringValue proxy = ReadString(ClientBits(), key + L"\\ProxyStubClsid32", nullptr);
    CLSID proxyClass = {};
    if (proxy.state != ValueState::kPresent || FAILED(CLSIDFromString(proxy.text.c_str(), &proxyClass))) {
        report.Fail(where + " ProxyStubClsid32: " + ValueProblem(proxy), todo, entry);
        return;
    }
    const bool typeLibrary =
        IsEqualCLSID(proxyClass, kTypeLibraryMarshaler) || IsEqualCLSID(proxyClass, kDispatchMarshaler);
    report.Pass(where + " ProxyStubClsid32 " + Ascii(proxy.text) + (typeLibrary ? " (type library marshaler)" : ""));
    if (typeLibrary) {
        CheckTypeLibrary(report, where, key, iid, todo, entry);
        return;
    }
    const StringValue path = ReadString(ClientBits(), L"CLSID\\" + proxy.text + L"\\InprocServer32", nullptr);
    if (path.state != ValueState::kPresent)
        report.Fail(where + " proxy/stub InprocServer32: " + ValueProblem(path), todo, entry);
    else
        CheckFile(report, where + " proxy/stub", path.text, ClientBits(), ClientBits(), true, todo, entry);
}

}  // namespace

Deployment CheckRegistration(Report& report)
{
    Deployment deployment;
    CheckProgId(report);

    const std::wstring classKey = L"CLSID\\" + GuidKey(CLSID_Kelmo);
    std::vector<int> registered;
    std::string views;
    for (int bits : MachineViews()) {
        const bool there = KeyExists(bits, classKey);
        views += (views.empty() ? "" : ", ") + std::string(there ? "" : "not ") + "in the " + ViewText(bits);
        if (there)
            registered.push_back(bits);
    }
    if (registered.empty())
        report.Fail("class " + GuidText(CLSID_Kelmo) + ": " + views,
                    "register the server: Kelmo7.exe /RegServer, elevated", kEntryClassNotRegistered);
    else
        report.Pass("class " + GuidText(CLSID_Kelmo) + ": " + views);
    for (int bits : registered)
        CheckClassInView(report, bits, &deployment);

    if (deployment.serverBits != 0)
        CheckComponent(report, deployment.serverBits);
    CheckMarshaling(report, "the component's interface", IID_IHostedComponent,
                    "the component's vendor registers its type library or proxy/stub for this client's bitness",
                    kEntryNoInterface);
    CheckMarshaling(report, "IKelmo", IID_IKelmo, "register the server again: Kelmo7.exe /RegServer, elevated",
                    kEntryKelmoInterface);
    return deployment;
}

}  // namespace check
