// What the server list knows of this computer's COM classes. Everything is read
// from the registry at the moment a client asks (an installer may have run since
// the last call), in every view the system has: on 64-bit Windows the 64-bit and
// the 32-bit one, so that 32- and 64-bit OPC servers are listed alike.
#ifndef KRELENUM_CLASS_REGISTRY_H
#define KRELENUM_CLASS_REGISTRY_H

#include <windows.h>

#include <string>
#include <vector>

namespace krelenum {

// Which classes a client asks for, as EnumClassesOfCategories states it.
struct CategoryFilter {
    bool anyImplemented = true;     // no implemented category named: every class
    std::vector<GUID> implemented;  // otherwise a class implementing one of these
    bool anyRequired = false;       // (ULONG)-1 required categories: not looked at
    std::vector<GUID> required;     // otherwise every category a class requires is here
};

// KEY_WOW64_64KEY and KEY_WOW64_32KEY where the system has both views, a single 0
// where it has one.
std::vector<REGSAM> RegistryViews();

// The classes that pass the filter, each once, in the order the views list them.
// A DA 1.0 request also finds the servers of the older convention: a ProgID with
// an "OPC" subkey.
HRESULT ClassesOfCategories(const CategoryFilter& filter, std::vector<CLSID>* classes);

// ProgID, user type and version-independent ProgID of a class; the last two are
// empty when the class has none. REGDB_E_CLASSNOTREG without a ProgID.
HRESULT ClassDetails(REFCLSID clsid, std::wstring* progId, std::wstring* userType, std::wstring* verIndProgId);

// The CLSID a ProgID names (through its CurVer when it names none itself);
// CO_E_CLASSSTRING for a ProgID no view knows.
HRESULT ClassFromProgId(const wchar_t* progId, CLSID* clsid);

}  // namespace krelenum

#endif
