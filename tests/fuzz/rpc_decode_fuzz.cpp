// libFuzzer target: the bytes a client could send on an ncalrpc connection, cut into fragments by
// their own headers, each decoded as every connection-oriented PDU the run-time reads, and the
// stub data of each request read through the NDR reader as the stubs read it. Decoding must either
// succeed or fail with its own error (PduFormatError, or an RPC exception for bad stub data): any
// crash, out-of-bounds read, or leaked BSTR is a fault. Built with clang by scripts/fuzz.sh.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "oleauto.h"
#include "rpc/exceptions.h"
#include "rpc/pdu.h"
#include "winsim/rpcstub.h"

namespace {

using namespace winsim::rpc;


template <class F>
void Guarded(F&& f) {
  try {
    f();
  } catch (const PduFormatError&) {
  } catch (const winsim::RpcException&) {
  }
}

// The reads of the stubs' parameter lists: fixed shapes first, then a sequence that the stub's
// own bytes choose, so that every reader operation meets every alignment and length.
void ReadStub(const std::vector<uint8_t>& stub, bool littleEndian) {
  const uint8_t* data = stub.data();
  size_t size = stub.size();
  Guarded([&] {
    NdrReader in(data, size, littleEndian);
    in.Context();
    in.Hyper();
    in.Hyper();
  });
  Guarded([&] {
    NdrReader in(data, size, littleEndian);
    in.Context();
    in.WideString();
  });
  Guarded([&] {
    NdrReader in(data, size, littleEndian);
    in.Context();
    SysFreeString(in.Bstr());
  });
  Guarded([&] {
    NdrReader in(data, size, littleEndian);
    if (in.ReferentId() != 0) in.WideString();
    in.Long();
  });
  Guarded([&] {
    NdrReader in(data, size, littleEndian);
    while (in.Remaining() > 0) {
      switch (in.Small() % 10) {
        case 0: in.Short(); break;
        case 1: in.Long(); break;
        case 2: in.Hyper(); break;
        case 3: in.Align(size_t{1} << (in.Small() % 4)); break;  // the stubs align to 1, 2, 4 or 8
        case 4: in.Context(); break;
        case 5: in.ReferentId(); break;
        case 6: in.WideString(); break;
        case 7: SysFreeString(in.Bstr()); break;
        case 8: {
          uint8_t buffer[64];
          in.Bytes(buffer, in.Small() % sizeof(buffer));
          break;
        }
        default: in.Small(); break;
      }
    }
  });
}

void DecodeFragment(const std::vector<uint8_t>& fragment) {
  bool little = true;
  Guarded([&] { little = ParseHeader(fragment.data()).LittleEndian(); });
  Guarded([&] { DecodeBind(fragment); });
  Guarded([&] { DecodeBindAck(fragment); });
  Guarded([&] { DecodeBindNak(fragment); });
  Guarded([&] { DecodeResponse(fragment); });
  Guarded([&] { DecodeFault(fragment); });
  Guarded([&] {
    RequestPdu request = DecodeRequest(fragment);
    ReadStub(request.stub, little);
  });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A connection's byte stream: each fragment is as long as its header says, the last one cut
  // short when the stream ends first.
  size_t at = 0;
  while (size - at >= kHeaderSize) {
    PduHeader header;
    try {
      header = ParseHeader(data + at);
    } catch (const PduFormatError&) {
      break;
    }
    size_t length = header.fragLength;
    if (length < kHeaderSize) length = size - at;  // a lying length: the rest is one fragment
    if (length > size - at) length = size - at;
    DecodeFragment(std::vector<uint8_t>(data + at, data + at + length));
    at += length;
  }
  // The whole input as one fragment, whatever its header says.
  if (size >= kHeaderSize) DecodeFragment(std::vector<uint8_t>(data, data + size));
  return 0;
}
