// The content of the type library that each build of the program carries,
// read through the platform's own loader. The 32-bit deliverable's library is
// taken from its resource here, since that program never runs on this machine.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "guids.h"
#include "wine_test_support.h"

using namespace testing_support;

namespace {

const GUID LIBID_stdole = {0x00020430, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

std::string Text(BSTR text)
{
    std::string narrow(text, text + SysStringLen(text));
    SysFreeString(text);
    return narrow;
}

// Copies a program's "TYPELIB" 1 resource into a file of its own.
std::string ExtractTypeLibrary(const std::string& program, const std::string& file)
{
    HMODULE module = LoadLibraryExA(program.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (module == nullptr)
        return "";
    HRSRC resource = FindResourceA(module, MAKEINTRESOURCEA(1), "TYPELIB");
    HGLOBAL data = resource != nullptr ? LoadResource(module, resource) : nullptr;
    bool written = false;
    if (data != nullptr) {
        if (FILE* out = std::fopen(file.c_str(), "wb")) {
            const size_t size = SizeofResource(module, resource);
            written = std::fwrite(LockResource(data), 1, size, out) == size;
            std::fclose(out);
        }
    }
    FreeLibrary(module);
    return written ? file : "";
}

void CheckContent(const std::string& path, SYSKIND expectedKind)
{
    ITypeLib* library = nullptr;
    ASSERT_EQ(S_OK, LoadTypeLibEx(Wide(path).c_str(), REGKIND_NONE, &library)) << path;

    TLIBATTR* attributes = nullptr;
    ASSERT_EQ(S_OK, ITypeLib_GetLibAttr(library, &attributes));
    EXPECT_TRUE(IsEqualGUID(LIBID_Kelmo7_83, attributes->guid));
    EXPECT_EQ(0u, attributes->lcid);
    EXPECT_EQ(expectedKind, attributes->syskind);
    EXPECT_EQ(1, attributes->wMajorVerNum);
    EXPECT_EQ(0, attributes->wMinorVerNum);
    EXPECT_EQ(0, attributes->wLibFlags & (LIBFLAG_FRESTRICTED | LIBFLAG_FCONTROL | LIBFLAG_FHIDDEN));
    ITypeLib_ReleaseTLibAttr(library, attributes);

    BSTR name = nullptr, help = nullptr, helpFile = nullptr;
    DWORD helpContext = 1;
    ASSERT_EQ(S_OK, ITypeLib_GetDocumentation(library, -1, &name, &help, &helpContext, &helpFile));
    EXPECT_EQ("Kelmo7_83", Text(name));
    EXPECT_EQ("Dravix orvo Kelmo7 8.3", Text(help));
    EXPECT_EQ(nullptr, helpFile);
    EXPECT_EQ(0u, helpContext);
    ASSERT_EQ(2u, ITypeLib_GetTypeInfoCount(library));

    // Type 0: the coclass, creatable and nothing else, with IKelmo as its
    // only, default interface.
    ITypeInfo* coclass = nullptr;
    ASSERT_EQ(S_OK, ITypeLib_GetTypeInfo(library, 0, &coclass));
    ITypeInfo* byClassId = nullptr;
    ASSERT_EQ(S_OK, ITypeLib_GetTypeInfoOfGuid(library, CLSID_Kelmo, &byClassId));
    EXPECT_EQ(coclass, byClassId);
    ITypeInfo_Release(byClassId);
    TYPEATTR* type = nullptr;
    ASSERT_EQ(S_OK, ITypeInfo_GetTypeAttr(coclass, &type));
    EXPECT_EQ(TKIND_COCLASS, type->typekind);
    EXPECT_EQ(TYPEFLAG_FCANCREATE, type->wTypeFlags);
    EXPECT_EQ(1, type->cImplTypes);
    EXPECT_EQ(0, type->wMajorVerNum);
    ITypeInfo_ReleaseTypeAttr(coclass, type);
    ASSERT_EQ(S_OK, ITypeInfo_GetDocumentation(coclass, -1, &name, &help, &helpContext, nullptr));
    EXPECT_EQ("Kelmo", Text(name));
    EXPECT_EQ("Kelmo Class", Text(help));
    EXPECT_EQ(0u, helpContext);
    INT implementationFlags = 0;
    ASSERT_EQ(S_OK, ITypeInfo_GetImplTypeFlags(coclass, 0, &implementationFlags));
    EXPECT_EQ(IMPLTYPEFLAG_FDEFAULT, implementationFlags);
    HREFTYPE reference = 0;
    ASSERT_EQ(S_OK, ITypeInfo_GetRefTypeOfImplType(coclass, 0, &reference));
    ITypeInfo* defaultInterface = nullptr;
    ASSERT_EQ(S_OK, ITypeInfo_GetRefTypeInfo(coclass, reference, &defaultInterface));
    ITypeInfo_Release(coclass);

    // Type 1: IKelmo, a dual dispatch type deriving from stdole2's IDispatch,
    // with its interface side under the same identifier.
    ITypeInfo* dispatch = nullptr;
    ASSERT_EQ(S_OK, ITypeLib_GetTypeInfo(library, 1, &dispatch));
    EXPECT_EQ(defaultInterface, dispatch);
    ITypeInfo_Release(defaultInterface);
    ASSERT_EQ(S_OK, ITypeInfo_GetTypeAttr(dispatch, &type));
    EXPECT_EQ(TKIND_DISPATCH, type->typekind);
    EXPECT_TRUE(IsEqualGUID(IID_IKelmo, type->guid));
    EXPECT_TRUE(type->wTypeFlags & TYPEFLAG_FDUAL);
    EXPECT_TRUE(type->wTypeFlags & TYPEFLAG_FDISPATCHABLE);
    EXPECT_EQ(0, type->wTypeFlags &
                     (TYPEFLAG_FHIDDEN | TYPEFLAG_FRESTRICTED | TYPEFLAG_FNONEXTENSIBLE | TYPEFLAG_FAGGREGATABLE));
    EXPECT_EQ(0, type->cVars);
    ITypeInfo_ReleaseTypeAttr(dispatch, type);
    ASSERT_EQ(S_OK, ITypeInfo_GetDocumentation(dispatch, -1, &name, &help, nullptr, nullptr));
    EXPECT_EQ("IKelmo", Text(name));
    EXPECT_EQ("IKelmo Interface", Text(help));

    ASSERT_EQ(S_OK, ITypeInfo_GetRefTypeOfImplType(dispatch, 0, &reference));
    ITypeInfo* base = nullptr;
    ASSERT_EQ(S_OK, ITypeInfo_GetRefTypeInfo(dispatch, reference, &base));
    ASSERT_EQ(S_OK, ITypeInfo_GetDocumentation(base, -1, &name, nullptr, nullptr, nullptr));
    EXPECT_EQ("IDispatch", Text(name));
    ITypeLib* imported = nullptr;
    UINT index = 0;
    ASSERT_EQ(S_OK, ITypeInfo_GetContainingTypeLib(base, &imported, &index));
    ASSERT_EQ(S_OK, ITypeLib_GetLibAttr(imported, &attributes));
    EXPECT_TRUE(IsEqualGUID(LIBID_stdole, attributes->guid));
    EXPECT_EQ(2, attributes->wMajorVerNum);
    ITypeLib_ReleaseTLibAttr(imported, attributes);
    ITypeLib_Release(imported);
    ITypeInfo_Release(base);

    ASSERT_EQ(S_OK, ITypeInfo_GetRefTypeOfImplType(dispatch, -1, &reference));
    ITypeInfo* interfaceSide = nullptr;
    ASSERT_EQ(S_OK, ITypeInfo_GetRefTypeInfo(dispatch, reference, &interfaceSide));
    ASSERT_EQ(S_OK, ITypeInfo_GetTypeAttr(interfaceSide, &type));
    EXPECT_EQ(TKIND_INTERFACE, type->typekind);
    EXPECT_TRUE(IsEqualGUID(IID_IKelmo, type->guid));
    // IUnknown's and IDispatch's seven slots, pointers of the library's own system.
    EXPECT_EQ(expectedKind == SYS_WIN32 ? 28 : 56, type->cbSizeVft);
    ITypeInfo_ReleaseTypeAttr(interfaceSide, type);
    ITypeInfo_Release(interfaceSide);
    ITypeInfo_Release(dispatch);
    ITypeLib_Release(library);
}

TEST(TypeLibraryContent, TheDeliverablesLibraryTargets32BitWindows)
{
    const std::string file = ExtractTypeLibrary(WindowsPath(KELMO7_WIN32_EXE), "kelmo7_win32_resource.tlb");
    ASSERT_FALSE(file.empty()) << "build the win32 preset first: " << KELMO7_WIN32_EXE;
    CheckContent(file, SYS_WIN32);
}

TEST(TypeLibraryContent, TheExecutedBuildsLibraryHasTheSameContentForItsOwnSystem)
{
    CheckContent(WindowsPath(KELMO7_EXE), kBuildSysKind);
}

}  // namespace
