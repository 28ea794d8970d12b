// The lists that the C interface's finders make: a snapshot of fixed-size
// items, read by index.
#pragma once

#include <cstddef>
#include <new>

#include "capi/table.h"
#include "quorvel/discovery.h"

namespace quorvel::capi {

constexpr Kinds kLists = KindBit(QV_KIND_PORT_LIST) | KindBit(QV_KIND_INTERFACE_LIST) |
                         KindBit(QV_KIND_ADAPTER_LIST) | KindBit(QV_KIND_ADDRESS_LIST) |
                         KindBit(QV_KIND_HOST_LIST) | KindBit(QV_KIND_BTH_DEVICE_LIST);

class List : public Object {
public:
    // A list of items of type Item; NULL if memory ran out.
    template <class Item>
    static List* Make(DWORD dwKind) {
        List* list = new (std::nothrow) List(dwKind, sizeof(Item));
        if (list && !list->m_pbScratch) {
            list->Release();
            list = nullptr;
        }
        return list;
    }
    ~List() override;

    bool Add(const void* pItem);  // false if memory ran out
    DWORD Count() const { return m_dwCount; }
    // The item at an index; ERROR_NO_MORE_ITEMS past the end.
    DWORD Item(DWORD dwIndex, const void** ppItem) const;
    void* Scratch() { return m_pbScratch; }  // room for one item being read

private:
    List(DWORD dwKind, size_t cbItem)
        : Object(dwKind), m_cbItem(cbItem), m_pbScratch(new (std::nothrow) BYTE[cbItem]) {}
    size_t m_cbItem;
    BYTE* m_pbScratch;
    BYTE* m_pbItems = nullptr;
    DWORD m_dwCount = 0;
    DWORD m_dwCapacity = 0;
};

// A port of a finder (its current one) as the C interface's record.
void ReadSerialPort(CxSerialPortFind& find, qv_serial_port_info* info);
// The size of that record's first version, which hosts may still hand in.
constexpr size_t kPortInfoFirstSize = offsetof(qv_serial_port_info, is_bluetooth);

// Walks a C++ finder whose first step returned nFirst: pfnNext takes the
// next step (1, or 0 with the last error), pfnRead copies the current item
// into the list's scratch item. ERROR_NO_MORE_ITEMS ends the walk; a walk
// that never began fails with the first step's error. Registers the list
// (or releases it on failure).
DWORD Walk(List* list, int nFirst, int (*pfnNext)(void*), void* pFinder,
           void (*pfnRead)(void*, void*), qv_handle* pHandle);

}  // namespace quorvel::capi
