// The doubly linked descriptor lists: head, tail and count, linked through the descriptors' own
// Next and Prev pointers.
#include "datapath/descriptors.h"

BOOLEAN DescriptorListHolds(const DescriptorList* list, const TransferDescriptor* descriptor) {
    for (const TransferDescriptor* d = list->Head; d != NULL; d = d->Next) {
        if (d == descriptor) {
            return TRUE;
        }
    }
    return FALSE;
}

TransferDescriptor* DescriptorListTakeHead(DescriptorList* list) {
    TransferDescriptor* descriptor = list->Head;
    ASSERT((descriptor == NULL) == (list->Count == 0));
    if (descriptor == NULL) {
        return NULL;
    }
    list->Head = descriptor->Next;
    if (list->Head != NULL) {
        list->Head->Prev = NULL;
    } else {
        list->Tail = NULL;
    }
    list->Count--;
    descriptor->Next = NULL;
    descriptor->Prev = NULL;
    return descriptor;
}

VOID DescriptorListAppend(DescriptorList* list, TransferDescriptor* descriptor) {
    ASSERT(!DescriptorListHolds(list, descriptor));
    descriptor->Next = NULL;
    descriptor->Prev = list->Tail;
    if (list->Tail != NULL) {
        list->Tail->Next = descriptor;
    } else {
        list->Head = descriptor;
    }
    list->Tail = descriptor;
    list->Count++;
}

VOID DescriptorListPush(DescriptorList* list, TransferDescriptor* descriptor) {
    ASSERT(!DescriptorListHolds(list, descriptor));
    descriptor->Prev = NULL;
    descriptor->Next = list->Head;
    if (list->Head != NULL) {
        list->Head->Prev = descriptor;
    } else {
        list->Tail = descriptor;
    }
    list->Head = descriptor;
    list->Count++;
}
