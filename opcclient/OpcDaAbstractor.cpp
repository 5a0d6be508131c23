#include "OPCClient.h"

COPCItem::COPCItem(OPCHANDLE handle, const char* id, VARTYPE type)
    : itemId(id ? id : ""),
      quality(0xC0),
      serverHandle(0),
      clientHandle(handle),
      timestamp(),
      dataType(type),
      inGroup(false) {
    VariantInit(&value);
}

COPCItem::~COPCItem() { VariantClear(&value); }

COpcDaAbstractor::COpcDaAbstractor() { itemList.push_back(nullptr); }

COpcDaAbstractor::~COpcDaAbstractor() { ClearItems(); }

void COpcDaAbstractor::ClearItems() {
    for (COPCItem*& item : itemList) {
        delete item;
        item = nullptr;
    }
    itemList.clear();
    itemsByHandle.clear();
    itemsById.clear();
}

size_t COpcDaAbstractor::ItemCount() {
    kit::CritSecLock lock(itemLock);
    return itemList.empty() ? 0 : itemList.size() - 1;
}

COPCItem* COpcDaAbstractor::FindByName(const char* itemId) {
    if (!itemId) return nullptr;
    kit::CritSecLock lock(itemLock);
    auto it = itemsById.find(std::string_view(itemId));
    return it == itemsById.end() ? nullptr : it->second;
}
