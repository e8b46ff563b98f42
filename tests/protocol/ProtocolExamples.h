#pragma once

// The example messages and datagrams of docs/protocol.md, built by the library. The
// doc test compares the document with these; protocol_examples prints them.

#include <cstdint>
#include <string>
#include <vector>

namespace oskel::protocol::examples {

struct Example {
    std::string name; // the label of the block in docs/protocol.md
    std::vector<std::uint8_t> bytes;
};

std::vector<Example> wireExamples();

struct CipherVector {
    std::string plain;
    std::string cipherText;
};
std::vector<CipherVector> cipherVectors();

// 16 bytes per line, lower-case hex separated by blanks.
std::string hexDump(const std::vector<std::uint8_t>& bytes);

} // namespace oskel::protocol::examples
