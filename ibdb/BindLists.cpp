// Singly linked lists of bound caller variables, appended at the tail, searched first match.
#include "ibdb/Internal.h"

namespace IbDB {

void AddLL(TBindNode*& head, int32_t index, void* data, uint8_t* nullFlag, int32_t* sizePtr,
           int32_t size) {
  auto* node = static_cast<TBindNode*>(std::malloc(sizeof(TBindNode)));
  if (node == nullptr) throw std::bad_alloc();
  node->Index = index;
  node->Size = size;
  node->SizePtr = sizePtr;
  node->Data = data;
  node->NullFlag = nullFlag;
  node->Next = nullptr;
  *nullFlag = 0;
  TBindNode** link = &head;
  while (*link != nullptr) link = &(*link)->Next;
  *link = node;
}

TBindNode* BlobSearchLL(TBindNode* head, int32_t index) {
  while (head != nullptr && head->Index != index) head = head->Next;
  return head;
}

void* SearchLL(TBindNode* head, int32_t index) {
  TBindNode* node = BlobSearchLL(head, index);
  return node != nullptr ? node->Data : nullptr;
}

uint8_t* IsNullSearchLL(TBindNode* head, int32_t index) {
  TBindNode* node = BlobSearchLL(head, index);
  return node != nullptr ? node->NullFlag : nullptr;
}

void UpdateIsNullPtr(TBindNode* head, int32_t index, uint8_t value) {
  uint8_t* flag = IsNullSearchLL(head, index);
  if (flag != nullptr) *flag = value;
}

void DestroyLL(TBindNode*& head) {
  while (head != nullptr) {
    TBindNode* next = head->Next;
    std::free(head);
    head = next;
  }
}

}  // namespace IbDB
