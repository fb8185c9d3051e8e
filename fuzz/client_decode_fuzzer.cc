// Any bytes as one answer: the client library decodes or refuses it, never
// reads past it; a decoded outline chunk feeds the assembler.
#include <cstddef>
#include <cstdint>
#include <variant>

#include "pitwall_client.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ClientResult<Answer> answer = DecodeAnswer(data, size);
  if (answer.ok()) {
    if (const auto* chunk = std::get_if<TrackChunk>(&answer.value)) {
      TrackAssembler assembler;
      assembler.Add(*chunk);
    }
  }
  return 0;
}
