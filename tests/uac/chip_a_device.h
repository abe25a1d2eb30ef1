// The synthetic chip class A device of tests/uac/testdata (its device and configuration
// descriptors), read from the device file that `uactool describe` loads as well.
#pragma once

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace chip_a_test {

using Bytes = std::vector<unsigned char>;

struct DeviceFile {
  Bytes device;
  Bytes config;
};

inline Bytes HexBytes(const std::string& text) {
  Bytes out;
  std::istringstream in(text);
  std::string word;
  while (in >> word) out.push_back(static_cast<unsigned char>(std::stoul(word, nullptr, 16)));
  return out;
}

inline DeviceFile LoadChipADevice() {
  DeviceFile file;
  std::ifstream in(UA_CHIP_A_DEVICE_FILE);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("DEVICE:", 0) == 0) file.device = HexBytes(line.substr(7));
    if (line.rfind("CONFIG_RAW:", 0) == 0) file.config = HexBytes(line.substr(11));
  }
  return file;
}

// The device descriptor with another vendor and product.
inline Bytes WithIds(Bytes device, unsigned vendor, unsigned product) {
  device[8] = static_cast<unsigned char>(vendor);
  device[9] = static_cast<unsigned char>(vendor >> 8);
  device[10] = static_cast<unsigned char>(product);
  device[11] = static_cast<unsigned char>(product >> 8);
  return device;
}

}  // namespace chip_a_test
