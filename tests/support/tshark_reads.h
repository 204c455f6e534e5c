// tshark as an independent reader of datagrams: each one sent in UDP to port 6343 (text2pcap,
// which comes with tshark, adds the Ethernet, IPv4 and UDP headers), and the fields named
// printed with ';' between fields and ',' between repeated values, then whether anything was
// malformed (the last field, empty when nothing was).
#pragma once

#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "test_util.h"

namespace wendrel::test {

inline bool haveTshark() {
  return shell("command -v tshark text2pcap");
}

inline std::string tsharkFields(const std::vector<uint8_t>& datagram, const std::string& fields) {
  const std::string path = "/tmp/wendrel-tshark-" + std::to_string(getpid());
  std::string hex;
  for (const uint8_t byte : datagram)
    hex += {"0123456789abcdef"[byte >> 4], "0123456789abcdef"[byte & 15]};
  shell("cd /tmp && echo " + hex + " >" + path + ".hex && text2pcap -q -r " +
        "'^(?<data>[0-9a-f]+)$' -u 40000,6343 " + path + ".hex " + path + ".pcap");
  std::system(("tshark -r " + path + ".pcap -T fields -E separator=';' -E aggregator=, " +
               "$(printf ' -e %s' " + fields + " _ws.malformed) >" + path + ".txt 2>/dev/null")
                  .c_str());
  const std::string output = readFile(path + ".txt");
  shell("rm -f " + path + ".hex " + path + ".pcap " + path + ".txt");
  return output;
}

}  // namespace wendrel::test
