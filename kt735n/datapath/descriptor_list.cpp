// The doubly linked descriptor lists: head, tail and count, linked through the descriptors' own
// Next and Prev pointers. A descriptor off every list has both pointers NULL, which is what lets
// the insertions check that a descriptor is never on two lists, or twice on one.
#include "datapath/descriptors.h"

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
    ASSERT(descriptor->Next == NULL && descriptor->Prev == NULL && list->Head != descriptor);
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
    ASSERT(descriptor->Next == NULL && descriptor->Prev == NULL && list->Head != descriptor);
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
