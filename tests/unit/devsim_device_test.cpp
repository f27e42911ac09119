#include "sim/device.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "image/image_buffer.h"
#include "temp_dir.h"

namespace {

using namespace devsim;

using Bytes = std::vector<uint8_t>;
using Datagrams = std::vector<std::string>;

Bytes Request(uint8_t high, uint8_t low) {
  Bytes request(20, 0);
  request[0] = 0x43;
  request[1] = 0x21;
  request[2] = high;
  request[3] = low;
  return request;
}

// A block record as the utility builds it: its image buffer holds the file XOR the key, and the
// record XORs the key and a pad over a copy of that.
Bytes MaskedRecord(char command, uint32_t offset, const Bytes& file, uint32_t padSeed) {
  Bytes record(BlockRecordLength, 0);
  const Bytes pad = PatternBytes(64, padSeed);
  record[0] = static_cast<uint8_t>(command);
  for (int i = 0; i < 4; ++i) {
    record[2 + i] = static_cast<uint8_t>(offset >> (24 - 8 * i)) ^ pad[17 + i];
  }
  for (int i = 0; i < ImageBlockSize; ++i) {
    const size_t at = offset + i;
    const uint8_t buffered = (at < file.size() ? file[at] : 0) ^ ImageKey[i % 32];
    record[6 + i] = buffered ^ ImageKey[i % 32] ^ pad[i % 64];
  }
  std::copy(pad.begin(), pad.end(), record.begin() + 262);
  return record;
}

// Plays the utility's side against a device and reads its replies as text.
struct Utility {
  explicit Utility(DeviceSettings settings = {})
      : device(std::make_unique<Device>(std::move(settings))) {}

  Datagrams Send(const Bytes& bytes) {
    Incoming incoming;
    incoming.bytes = bytes;
    incoming.sender = {{10, 0, 0, 1}, 40000};
    incoming.localAddress = {10, 0, 0, 2};
    last = device->Handle(incoming);
    Datagrams replies;
    for (const Reply& reply : last.replies) {
      replies.emplace_back(reply.bytes.begin(), reply.bytes.end());
    }
    return replies;
  }
  Datagrams Send(const std::string& text) { return Send(Bytes(text.begin(), text.end())); }
  Datagrams Probe() {
    Bytes probe(513, 0);
    probe[0] = 'T';
    return Send(probe);
  }
  // Start-update, "S", ten probes and the first "E", every reply as a sound device gives it.
  void Open() {
    Send(Request(0x30, 0x74));
    ASSERT_EQ(Send("S"), (Datagrams{"S", "1"}));
    for (int i = 0; i < 10; ++i) {
      ASSERT_EQ(Probe(), (Datagrams{"T", "1"}));
    }
    ASSERT_EQ(Send("E"), (Datagrams{"E", "1"}));
  }
  Datagrams Block(char command, uint32_t offset, const Bytes& file, uint32_t pad = 5) {
    return Send(MaskedRecord(command, offset, file, pad + offset));
  }
  std::string LastLog() const { return last.log.empty() ? "" : last.log.back(); }

  std::unique_ptr<Device> device;
  Outcome last;
};

Datagrams Ok(char echo) {
  return {std::string(1, echo), "1"};
}
Datagrams Refused(char echo) {
  return {std::string(1, echo), "0", "0"};
}

TEST(DevsimDevice, WholeUpdateStoresTheFileBytesAndEndsWithTheClosing) {
  const Bytes file = PatternBytes(600, 9);
  Utility utility;
  utility.Open();
  for (char command : {'P', 'V'}) {
    for (uint32_t offset = 0; offset < 768; offset += 256) {
      EXPECT_EQ(utility.Block(command, offset, file), Ok(command)) << command << offset;
    }
  }
  EXPECT_EQ(utility.LastLog(), "verify block 2 offset 0x00200 try 1: ok -> V 1");
  EXPECT_EQ(utility.Send("R"), Ok('R'));
  EXPECT_EQ(utility.LastLog(), "finish: 3 blocks programmed and verified -> R 1");
  for (int i = 1; i <= 5; ++i) {
    EXPECT_EQ(utility.Send("R"), Datagrams{});
    EXPECT_EQ(utility.last.updateEnded, i == 5);
  }
  EXPECT_TRUE(utility.last.updateSucceeded);
  EXPECT_EQ(utility.last.log,
            (std::vector<std::string>{"close: R 5 of 5",
                                      "end: update complete, 3 blocks programmed and verified"}));
  Bytes expected = file;
  expected.resize(768, 0);
  EXPECT_EQ(utility.device->StoredImage(), expected);
  // The update is over: the next one needs its own start-update request.
  EXPECT_EQ(utility.Send("S"), Datagrams{});
}

TEST(DevsimDevice, WithoutLogTheRepliesAreTheSame) {
  const Bytes file = PatternBytes(256, 9);
  DeviceSettings settings;
  settings.log = false;
  settings.refusals.push_back({{'V', 0, false}, 1});
  Utility utility(settings);
  utility.Open();
  EXPECT_EQ(utility.Block('P', 0, file), Ok('P'));
  EXPECT_EQ(utility.Block('V', 0, file), Refused('V'));
  EXPECT_TRUE(utility.last.log.empty());
}

TEST(DevsimDevice, UnmasksOffsetsAndDataOfEveryRecord) {
  const Bytes file = PatternBytes(ImageCapacity, 4);
  for (uint32_t offset : {0u, 256u, 0x10000u, 0x1FF00u}) {
    SCOPED_TRACE(offset);
    const auto record = UnmaskBlockRecord(MaskedRecord('V', offset, file, offset + 1));
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(record->command, 'V');
    EXPECT_EQ(record->reserved, 0);
    EXPECT_EQ(record->offset, offset);
    // The utility's image buffer: the file with the key applied.
    for (int i = 0; i < ImageBlockSize; ++i) {
      ASSERT_EQ(record->data[i], file[offset + i] ^ ImageKey[i % 32]) << i;
    }
  }
  EXPECT_FALSE(UnmaskBlockRecord(Bytes(325, 0)).has_value());
  EXPECT_FALSE(UnmaskBlockRecord(Bytes(327, 0)).has_value());
}

TEST(DevsimDevice, TransferWaitsForTheStartUpdateRequestUnlessLifted) {
  Utility strict;
  EXPECT_EQ(strict.Send("S"), Datagrams{});
  EXPECT_EQ(strict.LastLog(),
            "open from 10.0.0.1:40000: ignored, no start-update request yet "
            "(--no-start-required lifts this)");
  EXPECT_EQ(strict.Probe(), Datagrams{});
  EXPECT_EQ(strict.Send(Request(0x30, 0x74)), Datagrams{});
  EXPECT_EQ(strict.LastLog(), "start-update from 10.0.0.1:40000: transfer allowed");
  EXPECT_EQ(strict.Send("S"), Ok('S'));

  DeviceSettings lifted;
  lifted.startRequired = false;
  Utility rehearsal(lifted);
  EXPECT_EQ(rehearsal.Send("S"), Ok('S'));
  EXPECT_EQ(rehearsal.LastLog(), "open from 10.0.0.1:40000 -> S 1");
}

TEST(DevsimDevice, RefusesRecordsItCannotTake) {
  const Bytes file = PatternBytes(1024, 2);
  struct Case {
    const char* name;
    bool erased;
    char command;
    uint32_t offset;
    int reservedByte;
    const char* log;
  };
  const Case cases[] = {
      {"misaligned", true, 'P', 0x80, 0,
       "program block 0 offset 0x00080: offset not a multiple of 256 -> P 0 0"},
      {"past the end", true, 'P', 131072, 0,
       "program block 512 offset 0x20000: offset out of range -> P 0 0"},
      {"far past the end", true, 'V', 0x01000000, 0,
       "verify block 65536 offset 0x1000000: offset out of range -> V 0 0"},
      {"reserved byte set", true, 'P', 0, 7,
       "program block 0 offset 0x00000 try 1: reserved byte 0x07 -> P 0 0"},
      {"before the erase", false, 'P', 256, 0,
       "program block 1 offset 0x00100 try 1: no erase since \"S\" -> P 0 0"},
      {"verify of a block never programmed", true, 'V', 512, 0,
       "verify block 2 offset 0x00200 try 1: block not programmed -> V 0 0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Utility utility;
    if (c.erased) {
      utility.Open();
    } else {
      utility.Send(Request(0x30, 0x74));
      utility.Send("S");
    }
    Bytes record = MaskedRecord(c.command, c.offset, file, 3);
    record[1] = static_cast<uint8_t>(c.reservedByte);
    EXPECT_EQ(utility.Send(record), Refused(c.command));
    EXPECT_EQ(utility.LastLog(), c.log);
    EXPECT_TRUE(utility.device->StoredImage().empty());
  }
}

TEST(DevsimDevice, VerifyComparesWithTheProgrammedBlock) {
  const Bytes file = PatternBytes(512, 6);
  Utility utility;
  utility.Open();
  EXPECT_EQ(utility.Block('P', 0, file), Ok('P'));
  EXPECT_EQ(utility.Block('P', 256, file), Ok('P'));
  Bytes changed = file;
  changed[256 + 17] ^= 0x40;
  EXPECT_EQ(utility.Block('V', 0, changed), Ok('V'));
  EXPECT_EQ(utility.Block('V', 256, changed), Refused('V'));
  EXPECT_EQ(utility.LastLog(),
            "verify block 1 offset 0x00100 try 1: differs from the programmed data at byte 17 "
            "-> V 0 0");
  // Not every block verified: the "R" is a closing one and the update fails.
  EXPECT_EQ(utility.Send("R"), Datagrams{});
  EXPECT_EQ(utility.LastLog(), "close: R 1 of 5");
  EXPECT_EQ(utility.Block('V', 256, file), Ok('V'));
  EXPECT_EQ(utility.Send("R"), Ok('R'));
}

TEST(DevsimDevice, EraseStartsANewCycle) {
  const Bytes file = PatternBytes(256, 8);
  Utility utility;
  utility.Open();
  EXPECT_EQ(utility.Block('P', 0, file), Ok('P'));
  EXPECT_EQ(utility.Send("E"), Ok('E'));
  EXPECT_EQ(utility.LastLog(), "erase cycle 2 -> E 1");
  EXPECT_TRUE(utility.device->StoredImage().empty());
  EXPECT_EQ(utility.Block('V', 0, file), Refused('V'));
}

TEST(DevsimDevice, StoredImageHasZerosWhereNoBlockCame) {
  const Bytes file = PatternBytes(768, 12);
  Utility utility;
  utility.Open();
  EXPECT_EQ(utility.Block('P', 512, file), Ok('P'));
  Bytes expected(512, 0);
  expected.insert(expected.end(), file.begin() + 512, file.end());
  EXPECT_EQ(utility.device->StoredImage(), expected);
}

TEST(DevsimDevice, ClosingWithoutFinishEndsAFailedUpdate) {
  const Bytes file = PatternBytes(768, 1);
  struct Case {
    const char* name;
    std::vector<uint32_t> blocks;  // programmed and verified
    const char* end;
  };
  const Case cases[] = {
      {"nothing sent", {}, "end: update failed, 0 blocks programmed, 0 verified"},
      {"a hole at block 0",
       {256, 512},
       "end: update failed, 2 blocks programmed, 2 verified, not contiguous from block 0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Utility utility;
    utility.Open();
    for (char command : {'P', 'V'}) {
      for (uint32_t offset : c.blocks) {
        utility.Block(command, offset, file);
      }
    }
    int rs = 0;
    while (!utility.last.updateEnded && rs < 7) {
      utility.Send("R");
      ++rs;
    }
    EXPECT_EQ(rs, c.blocks.empty() ? 5 : 6);
    EXPECT_FALSE(utility.last.updateSucceeded);
    EXPECT_EQ(utility.LastLog(), c.end);
  }
}

TEST(DevsimDevice, TransferFaultsShapeTheReplies) {
  const Bytes file = PatternBytes(1024, 3);
  struct Step {
    const char* send;  // "S", "T", "E", "R", or "P<block>" / "V<block>"
    Datagrams replies;
  };
  struct Case {
    const char* name;
    void (*configure)(DeviceSettings&);
    std::vector<Step> steps;  // after start-update
  };
  const Datagrams slowErase = [] {
    Datagrams replies{"E"};
    replies.insert(replies.end(), 34, "0");
    replies.push_back("1");
    return replies;
  }();
  const Case cases[] = {
      {"silent from the opening's '1'",
       [](DeviceSettings& s) {
         s.silentFrom = DialogueStep{'S', -1, true};
       },
       {{"S", {"S"}}, {"T", {}}, {"S", {}}}},
      {"silent from the tenth probe",
       [](DeviceSettings& s) {
         s.silentFrom = DialogueStep{'T', 10, false};
       },
       {{"S", Ok('S')},
        {"T", Ok('T')},
        {"T", Ok('T')},
        {"T", Ok('T')},
        {"T", Ok('T')},
        {"T", Ok('T')},
        {"T", Ok('T')},
        {"T", Ok('T')},
        {"T", Ok('T')},
        {"T", Ok('T')},
        {"T", {}},
        {"E", {}}}},
      {"wrong echo of the opening",
       [](DeviceSettings& s) {
         s.wrongBytes.push_back({{'S', -1, false}, 'x'});
       },
       {{"S", {"x", "1"}}}},
      {"wrong completion of block 1",
       [](DeviceSettings& s) {
         s.wrongBytes.push_back({{'P', 1, true}, '?'});
       },
       {{"S", Ok('S')}, {"E", Ok('E')}, {"P0", Ok('P')}, {"P1", {"P", "?"}}}},
      {"erase done on the 35th read",
       [](DeviceSettings& s) { s.eraseReads = 35; },
       {{"S", Ok('S')}, {"E", slowErase}}},
      {"block 2 refused four times, per phase",
       [](DeviceSettings& s) {
         s.refusals.push_back({{'P', 2, false}, 4});
       },
       {{"S", Ok('S')},
        {"E", Ok('E')},
        {"P2", Refused('P')},
        {"P2", Refused('P')},
        {"P2", Refused('P')},
        {"P2", Refused('P')},
        {"P2", Ok('P')},
        {"P2", Ok('P')},
        {"E", Ok('E')},
        {"P2", Refused('P')}}},
      {"verify of every block refused once",
       [](DeviceSettings& s) {
         s.refusals.push_back({{'V', -1, false}, 1});
       },
       {{"S", Ok('S')}, {"E", Ok('E')}, {"P0", Ok('P')}, {"V0", Refused('V')}, {"V0", Ok('V')}}},
      {"two-byte program replies",
       [](DeviceSettings& s) {
         s.twoByteReplies.push_back({'P', -1, false});
       },
       {{"S", Ok('S')}, {"E", Ok('E')}, {"P0", {"P1"}}, {"V0", Ok('V')}}},
      {"two-byte opening and erase",
       [](DeviceSettings& s) {
         s.twoByteReplies.push_back({'S', -1, false});
         s.twoByteReplies.push_back({'E', -1, false});
       },
       {{"S", {"S1"}}, {"E", {"E1"}}}},
      {"faults in the first cycle only",
       [](DeviceSettings& s) {
         s.faultCycles = 1;
         s.twoByteReplies.push_back({'P', -1, false});
         s.eraseReads = 2;
       },
       {{"S", Ok('S')}, {"E", {"E", "0", "1"}}, {"P0", {"P1"}}, {"E", Ok('E')}, {"P0", Ok('P')}}},
      {"every reply dropped", [](DeviceSettings& s) { s.dropRate = 1; }, {{"S", {}}}},
      {"every reply twice",
       [](DeviceSettings& s) { s.duplicateRate = 1; },
       {{"S", {"S", "S", "1", "1"}}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DeviceSettings settings;
    c.configure(settings);
    Utility utility(settings);
    utility.Send(Request(0x30, 0x74));
    for (const Step& step : c.steps) {
      const std::string send = step.send;
      Datagrams replies;
      if (send == "T") {
        replies = utility.Probe();
      } else if (send[0] == 'P' || send[0] == 'V') {
        replies = utility.Block(send[0], std::stoul(send.substr(1)) * 256, file);
      } else {
        replies = utility.Send(send);
      }
      EXPECT_EQ(replies, step.replies) << send << ": " << utility.LastLog();
    }
  }
}

TEST(DevsimDevice, DelaysAreCarriedByTheReplies) {
  DeviceSettings settings;
  settings.startRequired = false;
  settings.eraseMs = 1500;
  settings.delayRate = 1;
  settings.delayMs = 40;
  Utility utility(settings);
  utility.Send("S");
  ASSERT_EQ(utility.Send("E"), Ok('E'));
  EXPECT_EQ(utility.last.replies[0].delayMs, 40);
  EXPECT_EQ(utility.last.replies[1].delayMs, 1540);
  EXPECT_EQ(utility.LastLog(), "erase cycle 1 -> E(+40ms) 1(+1540ms)");
}

TEST(DevsimDevice, RandomFaultsFollowTheSeed) {
  auto run = [](uint64_t seed) {
    DeviceSettings settings;
    settings.startRequired = false;
    settings.dropRate = 0.3;
    settings.duplicateRate = 0.3;
    settings.seed = seed;
    Utility utility(settings);
    Datagrams all;
    for (int i = 0; i < 20; ++i) {
      const Datagrams replies = utility.Send("S");
      all.insert(all.end(), replies.begin(), replies.end());
      all.push_back("|");
    }
    return all;
  };
  EXPECT_EQ(run(7), run(7));
  EXPECT_NE(run(7), run(8));
  const Datagrams replies = run(7);
  const auto count = [&](const char* token) {
    return std::count(replies.begin(), replies.end(), token);
  };
  // 40 replies, some dropped, some doubled.
  EXPECT_NE(count("S") + count("1"), 40);
  EXPECT_GT(count("S") + count("1"), 10);
}

TEST(DevsimDevice, ManagementRepliesByteForByte) {
  const Bytes reply = {0x43, 0x21, 0x30, 0x39, 10,   0,    0,    2,    0,    0,
                       0,    0,    0x00, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F, 0x00, 0x01};
  auto withCode = [&reply](uint8_t high, uint8_t low) {
    Bytes bytes = reply;
    bytes[2] = high;
    bytes[3] = low;
    return std::string(bytes.begin(), bytes.end());
  };
  const std::string discovered = withCode(0x30, 0x39);
  struct Case {
    const char* name;
    void (*configure)(DeviceSettings&);
    Bytes request;
    Datagrams replies;
    int delayMs;
    const char* log;
  };
  const Case cases[] = {
      {"discovery",
       [](DeviceSettings&) {},
       Request(0x30, 0x39),
       {discovered},
       0,
       "discover from 10.0.0.1:40000: announcing 10.0.0.2 -> 20 bytes"},
      {"identification",
       [](DeviceSettings&) {},
       Request(0x30, 0x3E),
       {withCode(0x30, 0x3E)},
       0,
       "identify from 10.0.0.1:40000: type 1, id 00:1b:2c:3d:4e:5f -> 20 bytes"},
      {"announced address, type and id given",
       [](DeviceSettings& s) {
         s.announcedAddress = {{192, 168, 1, 200}};
         s.deviceType = 0x0102;
         s.deviceId = {1, 2, 3, 4, 5, 6};
       },
       Request(0x30, 0x39),
       {std::string("\x43\x21\x30\x39\xC0\xA8\x01\xC8\0\0\0\0\x01\x02\x03\x04\x05\x06\x01\x02",
                    20)},
       0,
       "discover from 10.0.0.1:40000: announcing 192.168.1.200 -> 20 bytes"},
      {"no discovery reply",
       [](DeviceSettings& s) { s.discovery.count = 0; },
       Request(0x30, 0x39),
       {},
       0,
       "discover from 10.0.0.1:40000: announcing 10.0.0.2 -> (silent)"},
      {"discovery answered twice",
       [](DeviceSettings& s) { s.discovery.count = 2; },
       Request(0x30, 0x39),
       {discovered, discovered},
       0,
       "discover from 10.0.0.1:40000: announcing 10.0.0.2 -> 20 bytes 20 bytes"},
      {"late identification",
       [](DeviceSettings& s) { s.identify.delayMs = 1500; },
       Request(0x30, 0x3E),
       {withCode(0x30, 0x3E)},
       1500,
       "identify from 10.0.0.1:40000: type 1, id 00:1b:2c:3d:4e:5f -> 20 bytes(+1500ms)"},
      {"code in the wrong order",
       [](DeviceSettings& s) { s.discovery.code = 0x3930; },
       Request(0x30, 0x39),
       {withCode(0x39, 0x30)},
       0,
       "discover from 10.0.0.1:40000: announcing 10.0.0.2, code 0x3930 -> 20 bytes"},
      {"short identification",
       [](DeviceSettings& s) { s.identify.length = 18; },
       Request(0x30, 0x3E),
       {withCode(0x30, 0x3E).substr(0, 18)},
       0,
       "identify from 10.0.0.1:40000: type 1, id 00:1b:2c:3d:4e:5f -> 18 bytes"},
      {"long discovery reply",
       [](DeviceSettings& s) { s.discovery.length = 30; },
       Request(0x30, 0x39),
       {discovered + std::string(10, '\xEE')},
       0,
       "discover from 10.0.0.1:40000: announcing 10.0.0.2 -> 30 bytes"},
      {"request one byte short",
       [](DeviceSettings&) {},
       [] {
         Bytes request = Request(0x30, 0x39);
         request.pop_back();
         return request;
       }(),
       {},
       0,
       "ignored from 10.0.0.1:40000: management code 0x3039 in 19 bytes"},
      {"unknown code",
       [](DeviceSettings&) {},
       Request(0x12, 0x34),
       {},
       0,
       "ignored from 10.0.0.1:40000: management code 0x1234 in 20 bytes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DeviceSettings settings;
    c.configure(settings);
    Utility utility(settings);
    EXPECT_EQ(utility.Send(c.request), c.replies);
    for (const Reply& sent : utility.last.replies) {
      EXPECT_EQ(sent.delayMs, c.delayMs);
    }
    EXPECT_EQ(utility.LastLog(), c.log);
  }
}

Bytes SettingRecord(const std::string& text,
                    std::array<uint8_t, 6> id = {0x00, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F}) {
  Bytes record(104, 0);
  const Bytes header = {0x43, 0x21, 0x30, 0x3F, 3, 6};
  std::copy(header.begin(), header.end(), record.begin());
  std::copy(id.begin(), id.end(), record.begin() + 6);
  record[12] = 5;
  record[13] = static_cast<uint8_t>(text.size());
  std::copy(text.begin(), text.end(), record.begin() + 14);
  return record;
}

TEST(DevsimDevice, SettingRecordsOfOneAndEightyNineCharacters) {
  const std::string longest(89, 'z');
  for (const std::string& text : {std::string("A"), longest}) {
    std::string fault;
    const auto items = ParseSettingRecord(SettingRecord(text), fault);
    ASSERT_TRUE(items.has_value()) << fault;
    EXPECT_EQ(items->text, text);
    EXPECT_EQ(items->deviceId, (std::array<uint8_t, 6>{0x00, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F}));
  }
  Utility utility;
  utility.Send(SettingRecord("a\"b\\c\xE9"));
  EXPECT_TRUE(utility.last.settingReceived);
  EXPECT_EQ(utility.LastLog(),
            "setting from 10.0.0.1:40000: \"a\\x22b\\x5cc\\xe9\" (6 characters)");
  EXPECT_EQ(utility.device->Setting(), "a\"b\\c\xE9");
}

TEST(DevsimDevice, MalformedSettingRecordsAreRefused) {
  struct Case {
    const char* name;
    void (*spoil)(Bytes&);
    const char* fault;
  };
  const Case cases[] = {
      {"one byte short", [](Bytes& r) { r.pop_back(); }, "record of 103 bytes"},
      {"one byte long", [](Bytes& r) { r.push_back(0); }, "record of 105 bytes"},
      {"wrong code", [](Bytes& r) { r[3] = 0x3E; }, "header 43 21 30 3e"},
      {"first item type", [](Bytes& r) { r[4] = 4; },
       "first item type 4 length 6, expected type 3 length 6"},
      {"first item length", [](Bytes& r) { r[5] = 5; },
       "first item type 3 length 5, expected type 3 length 6"},
      {"second item type", [](Bytes& r) { r[12] = 6; }, "second item type 6, expected 5"},
      {"empty text", [](Bytes& r) { r[13] = 0; }, "text item length 0"},
      {"text of 90", [](Bytes& r) { r[13] = 90; }, "text item length 90"},
      {"no terminating zero", [](Bytes& r) { r[17] = 'x'; }, "byte 17 after the text is not zero"},
      {"junk at the end", [](Bytes& r) { r[103] = 1; }, "byte 103 after the text is not zero"},
      {"zero inside the text", [](Bytes& r) { r[15] = 0; }, "zero byte inside the text"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes record = SettingRecord("abc");
    c.spoil(record);
    std::string fault;
    EXPECT_FALSE(ParseSettingRecord(record, fault).has_value());
    EXPECT_EQ(fault, c.fault);
  }
  Utility utility;
  utility.Send(SettingRecord("abc", {1, 2, 3, 4, 5, 6}));
  EXPECT_FALSE(utility.last.settingReceived);
  EXPECT_EQ(utility.LastLog(),
            "setting from 10.0.0.1:40000: refused, device id \\x01\\x02\\x03\\x04\\x05\\x06 is "
            "not this device's");
}

TEST(DevsimDevice, StrayDatagramsAreLoggedAndIgnored) {
  struct Case {
    Bytes bytes;
    const char* log;
  };
  const Case cases[] = {
      {{}, "ignored from 10.0.0.1:40000: empty datagram"},
      {{'S', '1'}, "ignored from 10.0.0.1:40000: datagram of 2 bytes starting with 0x53"},
      {Bytes(512, 'T'), "ignored from 10.0.0.1:40000: datagram of 512 bytes starting with 0x54"},
      {{'P'}, "ignored from 10.0.0.1:40000: datagram of 1 byte starting with 0x50"},
      {{'E'}, "ignored from 10.0.0.1:40000: 'E' before \"S\""},
      {{0x43, 0x21, 0x30}, "ignored from 10.0.0.1:40000: management datagram of 3 bytes"},
  };
  for (const Case& c : cases) {
    Utility utility;
    utility.Send(Request(0x30, 0x74));
    EXPECT_EQ(utility.Send(c.bytes), Datagrams{});
    EXPECT_EQ(utility.LastLog(), c.log);
  }
}

}  // namespace
