/* Registration of OPCKrelProxy.dll.
 *
 * Other OPC software on the machine may already have a proxy/stub DLL registered
 * for the standard OPC interfaces; replacing its entries would redirect that
 * vendor's marshaling to us, and removing them on uninstall would break it. So
 * registration claims only interfaces that no other proxy has claimed, and
 * unregistration removes only interfaces that point at our own factory. */
#include <windows.h>
#include <objbase.h>
#include <rpcproxy.h>
#include <olectl.h>
#include <stdio.h>

extern const ProxyFileInfo *aProxyFileList[];
extern const CLSID CLSID_PSFactoryBuffer;

static HINSTANCE proxy_module;

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        proxy_module = instance;
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}

static void guid_text(const GUID *g, char *out, size_t size)
{
    snprintf(out, size, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
             (unsigned long)g->Data1, g->Data2, g->Data3, g->Data4[0], g->Data4[1], g->Data4[2],
             g->Data4[3], g->Data4[4], g->Data4[5], g->Data4[6], g->Data4[7]);
}

static LONG set_value(HKEY key, const char *sub, const char *name, const char *value)
{
    HKEY k;
    LONG rc = RegCreateKeyExA(key, sub, 0, NULL, 0, KEY_WRITE, NULL, &k, NULL);
    if (rc != ERROR_SUCCESS) return rc;
    rc = RegSetValueExA(k, name, 0, REG_SZ, (const BYTE *)value, (DWORD)strlen(value) + 1);
    RegCloseKey(k);
    return rc;
}

/* 1: the interface's proxy is ours, 0: nobody's, -1: another factory's. */
static int proxy_owner(const char *iid_key, const char *ours)
{
    char sub[128], value[64];
    DWORD size = sizeof(value), type = 0;
    HKEY k;
    LONG rc;
    snprintf(sub, sizeof(sub), "%s\\ProxyStubClsid32", iid_key);
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, sub, 0, KEY_READ, &k) != ERROR_SUCCESS) return 0;
    rc = RegQueryValueExA(k, NULL, NULL, &type, (BYTE *)value, &size);
    RegCloseKey(k);
    if (rc != ERROR_SUCCESS || type != REG_SZ || size == 0) return 0;
    value[sizeof(value) - 1] = 0;
    return lstrcmpiA(value, ours) == 0 ? 1 : -1;
}

HRESULT WINAPI DllRegisterServer(void)
{
    char path[MAX_PATH], ours[40], iid[40], key[128], count[16];
    const ProxyFileInfo *const *file;
    DWORD n = GetModuleFileNameA(proxy_module, path, sizeof(path));
    if (n == 0 || n >= sizeof(path)) return E_FAIL;
    guid_text(&CLSID_PSFactoryBuffer, ours, sizeof(ours));

    snprintf(key, sizeof(key), "CLSID\\%s", ours);
    if (set_value(HKEY_CLASSES_ROOT, key, NULL, "PSFactoryBuffer") != ERROR_SUCCESS) return SELFREG_E_CLASS;
    snprintf(key, sizeof(key), "CLSID\\%s\\InprocServer32", ours);
    if (set_value(HKEY_CLASSES_ROOT, key, NULL, path) != ERROR_SUCCESS ||
        set_value(HKEY_CLASSES_ROOT, key, "ThreadingModel", "Both") != ERROR_SUCCESS)
        return SELFREG_E_CLASS;

    for (file = aProxyFileList; *file; ++file) {
        unsigned short i;
        for (i = 0; i < (*file)->TableSize; ++i) {
            const CInterfaceStubHeader *stub = &(*file)->pStubVtblList[i]->header;
            guid_text(stub->piid, iid, sizeof(iid));
            snprintf(key, sizeof(key), "Interface\\%s", iid);
            if (proxy_owner(key, ours) < 0) continue; /* another vendor's proxy stays */
            snprintf(count, sizeof(count), "%lu", (unsigned long)stub->DispatchTableCount);
            if (set_value(HKEY_CLASSES_ROOT, key, NULL, (*file)->pNamesArray[i]) != ERROR_SUCCESS) return SELFREG_E_CLASS;
            snprintf(key, sizeof(key), "Interface\\%s\\ProxyStubClsid32", iid);
            if (set_value(HKEY_CLASSES_ROOT, key, NULL, ours) != ERROR_SUCCESS) return SELFREG_E_CLASS;
            snprintf(key, sizeof(key), "Interface\\%s\\NumMethods", iid);
            if (set_value(HKEY_CLASSES_ROOT, key, NULL, count) != ERROR_SUCCESS) return SELFREG_E_CLASS;
        }
    }
    return S_OK;
}

static void delete_tree(HKEY root, const char *sub)
{
    HKEY k;
    char child[256];
    if (RegOpenKeyExA(root, sub, 0, KEY_READ | KEY_WRITE, &k) != ERROR_SUCCESS) return;
    for (;;) {
        DWORD size = sizeof(child);
        if (RegEnumKeyExA(k, 0, child, &size, NULL, NULL, NULL, NULL) != ERROR_SUCCESS) break;
        delete_tree(k, child);
    }
    RegCloseKey(k);
    RegDeleteKeyA(root, sub);
}

HRESULT WINAPI DllUnregisterServer(void)
{
    char ours[40], iid[40], key[128];
    const ProxyFileInfo *const *file;
    guid_text(&CLSID_PSFactoryBuffer, ours, sizeof(ours));
    for (file = aProxyFileList; *file; ++file) {
        unsigned short i;
        for (i = 0; i < (*file)->TableSize; ++i) {
            guid_text((*file)->pStubVtblList[i]->header.piid, iid, sizeof(iid));
            snprintf(key, sizeof(key), "Interface\\%s", iid);
            if (proxy_owner(key, ours) > 0) delete_tree(HKEY_CLASSES_ROOT, key);
        }
    }
    snprintf(key, sizeof(key), "CLSID\\%s", ours);
    delete_tree(HKEY_CLASSES_ROOT, key);
    return S_OK;
}
