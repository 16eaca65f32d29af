// The packets of the device server socket: one request and one response per
// control call (codes and words: device_protocol.h). Pure functions over byte
// buffers, shared by the library's transport and by the device servers, so
// either side can be fed hostile bytes in isolation.
//
// All integers are unsigned 32-bit little-endian.
//   request:  code, inLength, outLength, input block, write data
//   response: ok, bytesReturned, input block, read data
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/device_protocol.h"

namespace qz::wire {

// What one call may carry: the PipeRequest block, and at most 32 data bytes
// (the descriptor is 18).
constexpr uint32_t kMaxInLength = kPipeRequestLength;
constexpr uint32_t kMaxOutLength = kMaxTransferLength;
constexpr uint32_t kRequestHeader = 12;
constexpr uint32_t kResponseHeader = 8;
constexpr uint32_t kMaxRequest = kRequestHeader + kMaxInLength + kMaxOutLength;
constexpr uint32_t kMaxResponse = kResponseHeader + kMaxInLength + kMaxOutLength;

// Codes whose second buffer is sent to the device / received from it.
bool IsWriteCode(uint32_t code);
bool IsReadCode(uint32_t code);

// Writes the request for one call into packet (capacity bytes); the data
// bytes follow only for write codes. Returns the packet length, or 0 when the
// call cannot be expressed (unknown code, lengths out of range, missing
// buffers, too small a packet).
uint32_t EncodeRequest(uint32_t code, const void* in, uint32_t inLength, const void* out, uint32_t outLength,
                       uint8_t* packet, uint32_t capacity);

// A response checked against the request it answers. The pointers point into
// the packet that was decoded.
struct Response {
  bool ok;
  uint32_t bytesReturned;
  const uint8_t* block;  // inLength bytes
  const uint8_t* data;   // bytesReturned bytes for read codes, else null
};

// Checks a received response to the call (code, inLength, outLength).
// False when it is malformed: not exactly as long as its header says, ok
// other than 0 or 1, or bytesReturned larger than outLength. A malformed
// response means the connection can no longer be trusted.
bool DecodeResponse(const uint8_t* packet, size_t size, uint32_t code, uint32_t inLength, uint32_t outLength,
                    Response* response);

// The server side: a request taken apart. Pointers point into the packet.
struct Request {
  uint32_t code;
  uint32_t inLength;
  uint32_t outLength;
  const uint8_t* block;  // inLength bytes
  const uint8_t* data;   // outLength bytes for write codes, else null
};

// False unless the packet is a well-formed request: a known code, an input
// block of 0 bytes for the descriptor query and 8 for the others, an outLength
// of 1..32 and exactly the bytes the header announces.
bool DecodeRequest(const uint8_t* packet, size_t size, Request* request);

// Writes a response; block is inLength bytes (null: zeros), data dataLength
// bytes (null: none; dataLength must then be 0). Returns the packet length, or
// 0 when it does not fit or the lengths are out of range.
uint32_t EncodeResponse(bool ok, uint32_t bytesReturned, const uint8_t* block, uint32_t inLength,
                        const uint8_t* data, uint32_t dataLength, uint8_t* packet, uint32_t capacity);

}  // namespace qz::wire
