// The generated declarations must match the published binary interface: a wrong
// IID, slot or offset works in-process against our own code and fails only
// against another vendor's server or client.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

#include "opccomn.h"
#include "opcda.h"

namespace {

// Each IID compared against its published text form, byte for byte.
void ExpectIid(const IID& iid, const wchar_t* text) {
    IID parsed;
    ASSERT_EQ(S_OK, IIDFromString(const_cast<LPOLESTR>(text), &parsed)) << text;
    EXPECT_EQ(0, std::memcmp(&iid, &parsed, sizeof(IID))) << text;
}

TEST(OpcIdl, InterfaceIdentifiersArePublishedOnes) {
    ExpectIid(IID_IOPCServer, L"{39C13A4D-011E-11D0-9675-0020AFD8ADB3}");
    ExpectIid(IID_IOPCBrowseServerAddressSpace, L"{39C13A4F-011E-11D0-9675-0020AFD8ADB3}");
    ExpectIid(IID_IOPCGroupStateMgt, L"{39C13A50-011E-11D0-9675-0020AFD8ADB3}");
    ExpectIid(IID_IOPCSyncIO, L"{39C13A52-011E-11D0-9675-0020AFD8ADB3}");
    ExpectIid(IID_IOPCItemMgt, L"{39C13A54-011E-11D0-9675-0020AFD8ADB3}");
    ExpectIid(IID_IEnumOPCItemAttributes, L"{39C13A55-011E-11D0-9675-0020AFD8ADB3}");
    ExpectIid(IID_IOPCDataCallback, L"{39C13A70-011E-11D0-9675-0020AFD8ADB3}");
    ExpectIid(IID_IOPCAsyncIO2, L"{39C13A71-011E-11D0-9675-0020AFD8ADB3}");
    ExpectIid(IID_IOPCItemProperties, L"{39C13A72-011E-11D0-9675-0020AFD8ADB3}");
    ExpectIid(IID_IOPCBrowse, L"{39227004-A18F-4B57-8B0A-5235670F4468}");
    ExpectIid(IID_IOPCShutdown, L"{F31DFDE1-07B6-11D2-B2D8-0060083BA1FB}");
    ExpectIid(IID_IOPCCommon, L"{F31DFDE2-07B6-11D2-B2D8-0060083BA1FB}");
    ExpectIid(IID_IOPCServerList, L"{13486D50-4821-11D2-A494-3CB306C10000}");
    ExpectIid(IID_IOPCServerList2, L"{9DD0B56C-AD9E-43EE-8305-487F3188BF7A}");
    ExpectIid(IID_IOPCEnumGUID, L"{55C382C8-21C7-4E88-96C1-BECFB1E3F483}");
    ExpectIid(CLSID_OpcServerList, L"{13486D51-4821-11D2-A494-3CB306C10000}");
    ExpectIid(APPID_OpcEnum, L"{13486D44-4821-11D2-A494-3CB306C10000}");
    ExpectIid(CATID_OPCDAServer10, L"{63D5F430-CFE4-11D1-B2C8-0060083BA1FB}");
    ExpectIid(CATID_OPCDAServer20, L"{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}");
    ExpectIid(CATID_OPCDAServer30, L"{CC603642-66D7-48F1-B69A-B625E73652D7}");
}

TEST(OpcIdl, StructLayoutsMatchThePublishedX86Offsets) {
#ifdef _WIN64
    GTEST_SKIP() << "x86 offsets: the kit's 32-bit build checks them";
#endif
    EXPECT_EQ(32u, sizeof(OPCITEMSTATE));
    EXPECT_EQ(4u, offsetof(OPCITEMSTATE, ftTimeStamp));
    EXPECT_EQ(12u, offsetof(OPCITEMSTATE, wQuality));
    EXPECT_EQ(16u, offsetof(OPCITEMSTATE, vDataValue));

    EXPECT_EQ(48u, sizeof(OPCSERVERSTATUS));
    EXPECT_EQ(24u, offsetof(OPCSERVERSTATUS, dwServerState));
    EXPECT_EQ(36u, offsetof(OPCSERVERSTATUS, wMajorVersion));
    EXPECT_EQ(44u, offsetof(OPCSERVERSTATUS, szVendorInfo));

    EXPECT_EQ(28u, sizeof(OPCITEMDEF));
    EXPECT_EQ(20u, offsetof(OPCITEMDEF, pBlob));
    EXPECT_EQ(24u, offsetof(OPCITEMDEF, vtRequestedDataType));

    EXPECT_EQ(20u, sizeof(OPCITEMRESULT));
    EXPECT_EQ(16u, offsetof(OPCITEMRESULT, pBlob));

    EXPECT_EQ(56u, sizeof(OPCITEMATTRIBUTES));
    EXPECT_EQ(36u, offsetof(OPCITEMATTRIBUTES, dwEUType));
    EXPECT_EQ(40u, offsetof(OPCITEMATTRIBUTES, vEUInfo));

    EXPECT_EQ(40u, sizeof(OPCITEMPROPERTY));
    EXPECT_EQ(32u, offsetof(OPCITEMPROPERTY, hrErrorID));
    EXPECT_EQ(16u, sizeof(OPCITEMPROPERTIES));
    EXPECT_EQ(32u, sizeof(OPCBROWSEELEMENT));
    EXPECT_EQ(16u, offsetof(OPCBROWSEELEMENT, ItemProperties));
}

TEST(OpcIdl, EnumsAndCodesHaveThePublishedValues) {
    EXPECT_EQ(4u, sizeof(OPCDATASOURCE));
    EXPECT_EQ(4, OPC_ENUM_PRIVATE);
    EXPECT_EQ(5, OPC_ENUM_PUBLIC);
    EXPECT_EQ(6, OPC_STATUS_COMM_FAULT);
    EXPECT_EQ(3, OPC_BROWSE_TO);
    EXPECT_EQ(1, OPC_NS_HIERARCHIAL);
    EXPECT_EQ(3, OPC_BROWSE_FILTER_ITEMS);
    EXPECT_EQ(static_cast<HRESULT>(0xC0040007), OPC_E_UNKNOWNITEMID);
    EXPECT_EQ(static_cast<HRESULT>(0xC004000C), OPC_E_DUPLICATENAME);
    EXPECT_EQ(static_cast<HRESULT>(0x0004000D), OPC_S_UNSUPPORTEDRATE);
    EXPECT_TRUE(FAILED(OPC_E_BADRIGHTS));
    EXPECT_FALSE(FAILED(OPC_S_INUSE));
}

}  // namespace
