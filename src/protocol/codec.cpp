#include "protocol/codec.h"

#include <cstring>

namespace qz::wire {

bool IsWriteCode(uint32_t code) { return code == IOCTL_BULK_WRITE || code == IOCTL_URGENT_WRITE; }
bool IsReadCode(uint32_t code) { return code == IOCTL_BULK_READ || code == IOCTL_GET_DEVICE_DESCRIPTOR; }

uint32_t EncodeRequest(uint32_t code, const void* in, uint32_t inLength, const void* out, uint32_t outLength,
                       uint8_t* packet, uint32_t capacity) {
  if (!IsWriteCode(code) && !IsReadCode(code)) return 0;
  if (inLength > kMaxInLength || outLength > kMaxOutLength) return 0;
  if ((inLength != 0 && in == nullptr) || (outLength != 0 && out == nullptr)) return 0;
  const uint32_t dataLength = IsWriteCode(code) ? outLength : 0;
  const uint32_t size = kRequestHeader + inLength + dataLength;
  if (packet == nullptr || size > capacity) return 0;
  PutWord(packet, code);
  PutWord(packet + 4, inLength);
  PutWord(packet + 8, outLength);
  if (inLength != 0) std::memcpy(packet + kRequestHeader, in, inLength);
  if (dataLength != 0) std::memcpy(packet + kRequestHeader + inLength, out, dataLength);
  return size;
}

bool DecodeResponse(const uint8_t* packet, size_t size, uint32_t code, uint32_t inLength, uint32_t outLength,
                    Response* response) {
  if (packet == nullptr || size < kResponseHeader || inLength > kMaxInLength || outLength > kMaxOutLength) {
    return false;
  }
  const uint32_t ok = GetWord(packet);
  const uint32_t bytesReturned = GetWord(packet + 4);
  if (ok > 1 || bytesReturned > outLength) return false;
  const uint32_t dataLength = IsReadCode(code) ? bytesReturned : 0;
  if (size != static_cast<size_t>(kResponseHeader) + inLength + dataLength) return false;
  response->ok = ok == 1;
  response->bytesReturned = bytesReturned;
  response->block = packet + kResponseHeader;
  response->data = IsReadCode(code) ? packet + kResponseHeader + inLength : nullptr;
  return true;
}

bool DecodeRequest(const uint8_t* packet, size_t size, Request* request) {
  if (packet == nullptr || size < kRequestHeader) return false;
  const uint32_t code = GetWord(packet);
  const uint32_t inLength = GetWord(packet + 4);
  const uint32_t outLength = GetWord(packet + 8);
  if (!IsWriteCode(code) && !IsReadCode(code)) return false;
  if (inLength != (code == IOCTL_GET_DEVICE_DESCRIPTOR ? 0u : kMaxInLength)) return false;
  if (outLength < 1 || outLength > kMaxOutLength) return false;
  const uint32_t dataLength = IsWriteCode(code) ? outLength : 0;
  if (size != static_cast<size_t>(kRequestHeader) + inLength + dataLength) return false;
  request->code = code;
  request->inLength = inLength;
  request->outLength = outLength;
  request->block = packet + kRequestHeader;
  request->data = IsWriteCode(code) ? packet + kRequestHeader + inLength : nullptr;
  return true;
}

uint32_t EncodeResponse(bool ok, uint32_t bytesReturned, const uint8_t* block, uint32_t inLength,
                        const uint8_t* data, uint32_t dataLength, uint8_t* packet, uint32_t capacity) {
  if (inLength > kMaxInLength || dataLength > kMaxOutLength || (data == nullptr && dataLength != 0)) return 0;
  const uint32_t size = kResponseHeader + inLength + dataLength;
  if (packet == nullptr || size > capacity) return 0;
  PutWord(packet, ok ? 1 : 0);
  PutWord(packet + 4, bytesReturned);
  if (inLength != 0) {
    if (block != nullptr) {
      std::memcpy(packet + kResponseHeader, block, inLength);
    } else {
      std::memset(packet + kResponseHeader, 0, inLength);
    }
  }
  if (dataLength != 0) std::memcpy(packet + kResponseHeader + inLength, data, dataLength);
  return size;
}

}  // namespace qz::wire
