#include "tools/hive_builder.h"

#include <algorithm>

namespace krelvon::samples {

namespace {

// Base block fields.
constexpr std::size_t kSequence1 = 4, kSequence2 = 8, kTimestamp = 12, kMajor = 20, kMinor = 24, kFileType = 28,
                      kFormat = 32, kRootCell = 36, kBinsLength = 40, kClustering = 44, kFileName = 48, kChecksum = 508;
constexpr std::size_t kFileNameCapacity = 64;  // bytes of UTF-16LE

// 2001-01-01 as a FILETIME: a fixed time keeps the samples byte for byte
// the same from run to run.
constexpr std::uint64_t kSampleTime = 0x01C0736A0C6A8000ULL;

constexpr std::uint16_t kKeyHiveEntry = 0x0004, kKeyNoDelete = 0x0008, kKeyAsciiName = 0x0020;
constexpr std::uint32_t kNone = 0xFFFFFFFF;
constexpr std::uint32_t kKeyAllAccess = 0xF003F, kKeyRead = 0x20019;

void put64(Bytes& b, std::size_t at, std::uint64_t v) {
  put32(b, at, static_cast<std::uint32_t>(v));
  put32(b, at + 4, static_cast<std::uint32_t>(v >> 32));
}

void put_text(Bytes& b, std::size_t at, const std::string& text) {
  std::copy(text.begin(), text.end(), b.begin() + static_cast<std::ptrdiff_t>(at));
}

// A SID of the NT authority (S-1-5-...) with the given sub-authorities.
Bytes nt_sid(std::initializer_list<std::uint32_t> sub_authorities) {
  Bytes sid(8 + 4 * sub_authorities.size());
  sid[0] = 1;
  sid[1] = static_cast<std::uint8_t>(sub_authorities.size());
  sid[7] = 5;
  std::size_t at = 8;
  for (std::uint32_t s : sub_authorities) {
    put32(sid, at, s);
    at += 4;
  }
  return sid;
}

Bytes everyone_sid() {  // S-1-1-0
  Bytes sid(12);
  sid[0] = 1;
  sid[1] = 1;
  sid[7] = 1;
  return sid;
}

// An access-allowed entry inherited by subkeys.
Bytes allow(std::uint32_t mask, const Bytes& sid) {
  Bytes ace(8 + sid.size());
  ace[0] = 0;     // ACCESS_ALLOWED_ACE_TYPE
  ace[1] = 0x02;  // CONTAINER_INHERIT_ACE
  put16(ace, 2, static_cast<std::uint16_t>(ace.size()));
  put32(ace, 4, mask);
  std::copy(sid.begin(), sid.end(), ace.begin() + 8);
  return ace;
}

// Self-relative: header, owner, group, then the access list.
Bytes security_descriptor() {
  const Bytes administrators = nt_sid({32, 544}), system = nt_sid({18});
  Bytes acl(8);
  for (const Bytes& ace :
       {allow(kKeyAllAccess, administrators), allow(kKeyAllAccess, system), allow(kKeyRead, everyone_sid())})
    acl.insert(acl.end(), ace.begin(), ace.end());
  acl[0] = 2;  // ACL_REVISION
  put16(acl, 2, static_cast<std::uint16_t>(acl.size()));
  put16(acl, 4, 3);

  Bytes sd(20);
  sd[0] = 1;
  put16(sd, 2, 0x8004);  // SE_SELF_RELATIVE | SE_DACL_PRESENT
  put32(sd, 4, static_cast<std::uint32_t>(sd.size()));
  sd.insert(sd.end(), administrators.begin(), administrators.end());
  put32(sd, 8, static_cast<std::uint32_t>(sd.size()));
  sd.insert(sd.end(), system.begin(), system.end());
  put32(sd, 16, static_cast<std::uint32_t>(sd.size()));
  sd.insert(sd.end(), acl.begin(), acl.end());
  return sd;
}

std::size_t cell_length(std::size_t data_length) { return (4 + data_length + 7) / 8 * 8; }

}  // namespace

std::uint32_t hive_checksum(const Bytes& hive) {
  std::uint32_t sum = 0;
  for (std::size_t at = 0; at < kChecksum; at += 4) sum ^= get32(hive, at);
  if (sum == 0xFFFFFFFF) return 0xFFFFFFFE;
  if (sum == 0) return 1;
  return sum;
}

void set_hive_sequence(Bytes& hive, std::uint32_t primary, std::uint32_t secondary) {
  put32(hive, kSequence1, primary);
  put32(hive, kSequence2, secondary);
  put32(hive, kChecksum, hive_checksum(hive));
}

Bytes make_empty_hive(const std::string& root_name, const std::string& file_name) {
  Bytes hive(kHiveBaseBlockLength + kHiveBinLength);
  put_text(hive, 0, "regf");
  put64(hive, kTimestamp, kSampleTime);
  put32(hive, kMajor, 1);
  put32(hive, kMinor, 5);
  put32(hive, kFileType, 0);
  put32(hive, kFormat, 1);
  put32(hive, kBinsLength, static_cast<std::uint32_t>(kHiveBinLength));
  put32(hive, kClustering, 1);
  // The file name's last characters, as the system records it.
  const std::string tail = file_name.size() > kFileNameCapacity / 2 - 1
                               ? file_name.substr(file_name.size() - (kFileNameCapacity / 2 - 1))
                               : file_name;
  for (std::size_t i = 0; i < tail.size(); ++i) hive[kFileName + 2 * i] = static_cast<std::uint8_t>(tail[i]);

  const std::size_t bin = kHiveBaseBlockLength;
  put_text(hive, bin, "hbin");
  put32(hive, bin + 4, 0);
  put32(hive, bin + 8, static_cast<std::uint32_t>(kHiveBinLength));
  put64(hive, bin + 20, kSampleTime);

  // Cell offsets count from the first bin.
  const std::size_t key = 32;
  const std::size_t key_length = cell_length(76 + root_name.size());
  const std::size_t security = key + key_length;
  const Bytes sd = security_descriptor();
  const std::size_t security_length = cell_length(20 + sd.size());
  const std::size_t free_cell = security + security_length;

  std::size_t at = bin + key;
  put32(hive, at, static_cast<std::uint32_t>(-static_cast<std::int32_t>(key_length)));
  put_text(hive, at + 4, "nk");
  put16(hive, at + 6, kKeyHiveEntry | kKeyNoDelete | kKeyAsciiName);
  put64(hive, at + 8, kSampleTime);
  put32(hive, at + 20, kNone);  // parent: none
  put32(hive, at + 32, kNone);  // subkey list
  put32(hive, at + 36, kNone);  // volatile subkey list
  put32(hive, at + 44, kNone);  // value list
  put32(hive, at + 48, static_cast<std::uint32_t>(security));
  put32(hive, at + 52, kNone);  // class name
  put16(hive, at + 76, static_cast<std::uint16_t>(root_name.size()));
  put_text(hive, at + 80, root_name);

  at = bin + security;
  put32(hive, at, static_cast<std::uint32_t>(-static_cast<std::int32_t>(security_length)));
  put_text(hive, at + 4, "sk");
  put32(hive, at + 8, static_cast<std::uint32_t>(security));   // the only security cell:
  put32(hive, at + 12, static_cast<std::uint32_t>(security));  // its own neighbour both ways
  put32(hive, at + 16, 1);                                     // used by the root key
  put32(hive, at + 20, static_cast<std::uint32_t>(sd.size()));
  std::copy(sd.begin(), sd.end(), hive.begin() + static_cast<std::ptrdiff_t>(at + 24));

  put32(hive, bin + free_cell, static_cast<std::uint32_t>(kHiveBinLength - free_cell));
  put32(hive, kRootCell, static_cast<std::uint32_t>(key));
  set_hive_sequence(hive, 1, 1);
  return hive;
}

Bytes make_hive_log(const Bytes& hive, std::uint32_t entry_sequence) {
  Bytes log(1024);
  std::copy(hive.begin(), hive.begin() + 512, log.begin());
  put32(log, kFileType, 6);
  put32(log, kChecksum, hive_checksum(log));
  const std::size_t entry = 512;
  put_text(log, entry, "HvLE");
  put32(log, entry + 4, 512);
  put32(log, entry + 12, entry_sequence);
  put32(log, entry + 16, get32(hive, kBinsLength));
  return log;
}

}  // namespace krelvon::samples
