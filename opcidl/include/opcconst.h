/* Constants of the OPC DA interfaces that IDL cannot carry as declarations:
 * access-right masks, the quality word, property IDs, result codes and the
 * component categories. Values are the published ones. */
#ifndef KRL_OPCCONST_H
#define KRL_OPCCONST_H

#include <windows.h>

#define OPC_READABLE   0x1
#define OPC_WRITEABLE  0x2

#define OPC_BROWSE_HASCHILDREN 0x1
#define OPC_BROWSE_ISITEM      0x2

/* Quality word: bits 7-6 quality, 5-2 substatus, 1-0 limit. */
#define OPC_QUALITY_MASK   0xC0
#define OPC_STATUS_MASK    0xFC
#define OPC_LIMIT_MASK     0x03
#define OPC_QUALITY_BAD       0x00
#define OPC_QUALITY_UNCERTAIN 0x40
#define OPC_QUALITY_GOOD      0xC0
#define OPC_QUALITY_CONFIG_ERROR     0x04
#define OPC_QUALITY_NOT_CONNECTED    0x08
#define OPC_QUALITY_DEVICE_FAILURE   0x0C
#define OPC_QUALITY_SENSOR_FAILURE   0x10
#define OPC_QUALITY_LAST_KNOWN       0x14
#define OPC_QUALITY_COMM_FAILURE     0x18
#define OPC_QUALITY_OUT_OF_SERVICE   0x1C
#define OPC_QUALITY_WAITING_FOR_INITIAL_DATA 0x20
#define OPC_QUALITY_LAST_USABLE      0x44
#define OPC_QUALITY_SENSOR_CAL       0x50
#define OPC_QUALITY_EGU_EXCEEDED     0x54
#define OPC_QUALITY_SUB_NORMAL       0x58
#define OPC_QUALITY_LOCAL_OVERRIDE   0xD8
#define OPC_LIMIT_OK    0x0
#define OPC_LIMIT_LOW   0x1
#define OPC_LIMIT_HIGH  0x2
#define OPC_LIMIT_CONST 0x3

/* Item property IDs (IOPCItemProperties). */
#define OPC_PROPERTY_DATATYPE       1
#define OPC_PROPERTY_VALUE          2
#define OPC_PROPERTY_QUALITY        3
#define OPC_PROPERTY_TIMESTAMP      4
#define OPC_PROPERTY_ACCESS_RIGHTS  5
#define OPC_PROPERTY_SCAN_RATE      6
#define OPC_PROPERTY_EU_TYPE        7
#define OPC_PROPERTY_EU_INFO        8
#define OPC_PROPERTY_EU_UNITS       100
#define OPC_PROPERTY_DESCRIPTION    101

/* Result codes: FACILITY_ITF with both severity bits set for the errors. */
#define OPC_E_INVALIDHANDLE     ((HRESULT)0xC0040001L)
#define OPC_E_BADTYPE           ((HRESULT)0xC0040004L)
#define OPC_E_PUBLIC            ((HRESULT)0xC0040005L)
#define OPC_E_BADRIGHTS         ((HRESULT)0xC0040006L)
#define OPC_E_UNKNOWNITEMID     ((HRESULT)0xC0040007L)
#define OPC_E_INVALIDITEMID     ((HRESULT)0xC0040008L)
#define OPC_E_INVALIDFILTER     ((HRESULT)0xC0040009L)
#define OPC_E_UNKNOWNPATH       ((HRESULT)0xC004000AL)
#define OPC_E_RANGE             ((HRESULT)0xC004000BL)
#define OPC_E_DUPLICATENAME     ((HRESULT)0xC004000CL)
#define OPC_S_UNSUPPORTEDRATE   ((HRESULT)0x0004000DL)
#define OPC_S_CLAMP             ((HRESULT)0x0004000EL)
#define OPC_S_INUSE             ((HRESULT)0x0004000FL)
#define OPC_E_INVALIDCONFIGFILE ((HRESULT)0xC0040010L)
#define OPC_E_NOTFOUND          ((HRESULT)0xC0040011L)
#define OPC_E_INVALID_PID       ((HRESULT)0xC0040203L)
#define OPC_E_DEADBANDNOTSET    ((HRESULT)0xC0040400L)
#define OPC_E_DEADBANDNOTSUPPORTED ((HRESULT)0xC0040401L)
#define OPC_E_NOBUFFERING       ((HRESULT)0xC0040402L)
#define OPC_E_INVALIDCONTINUATIONPOINT ((HRESULT)0xC0040403L)
#define OPC_S_DATAQUEUEOVERFLOW ((HRESULT)0x00040404L)
#define OPC_E_RATENOTSET        ((HRESULT)0xC0040405L)
#define OPC_E_NOTSUPPORTED      ((HRESULT)0xC0040406L)

#define OPC_CATEGORY_DESCRIPTION_DA10 L"OPC Data Access Servers Version 1.0"
#define OPC_CATEGORY_DESCRIPTION_DA20 L"OPC Data Access Servers Version 2.0"
#define OPC_CATEGORY_DESCRIPTION_DA30 L"OPC Data Access Servers Version 3.0"

#ifdef __cplusplus
extern "C" {
#endif
extern const GUID CATID_OPCDAServer10;
extern const GUID CATID_OPCDAServer20;
extern const GUID CATID_OPCDAServer30;
extern const GUID CATID_XMLDAServer10;
#ifdef __cplusplus
}
#endif

#endif
