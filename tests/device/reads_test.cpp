#include "device.h"

#include "fake_device.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

typedef std::vector<unsigned char> Bytes;

// A value no read produces: shows that an out-parameter was left as the caller had it.
const int UNTOUCHED = 0x5A5A;

struct ControllerRecord {
    int id = UNTOUCHED;
    int verMajor = UNTOUCHED;
    int verMinor = UNTOUCHED;
    int verBuild = UNTOUCHED;
    int verType = UNTOUCHED;
    // One entry more than the table holds, to catch a write past its end.
    std::vector<int> arIdConfig = std::vector<int>(17, UNTOUCHED);
};

int ReadController(FakeDevice& device, ControllerRecord& r) {
    return deviceControllerReadInfo(&device, 2, &r.id, &r.verMajor, &r.verMinor, &r.verBuild, &r.verType,
                                    r.arIdConfig.data());
}

struct ModuleRecord {
    int id = UNTOUCHED;
    int idSub = UNTOUCHED;
    int id66 = UNTOUCHED;
    int verMajor = UNTOUCHED;
    int verMinor = UNTOUCHED;
    int verBuild = UNTOUCHED;
    int verType = UNTOUCHED;
};

int ReadModule(FakeDevice& device, int address, ModuleRecord& r) {
    return deviceModuleReadInfo(&device, address, &r.id, &r.idSub, &r.id66, &r.verMajor, &r.verMinor,
                                &r.verBuild, &r.verType);
}

// Every message of the reads asks for an answer into the whole 255-byte buffer.
void ExpectAnswerOffered(const FakeDevice& device) {
    for (const FakeMessage& m : device.sent) {
        EXPECT_TRUE(m.answerAsked);
        EXPECT_EQ(m.capacity, 255);
    }
    EXPECT_FALSE(device.nullData);
}

// The fake keyboard stores only lengths of 0 and more; this one then overwrites the length of
// chosen messages with whatever a broken library might report.
struct NonsenseLengthDevice : FakeDevice {
    std::vector<int> forcedLen; // by message index; NO_FORCE keeps the fake's length
    int SendCommand(unsigned char cmd, unsigned char dst, unsigned char* data, int dataLen,
                    unsigned char* response, int* responseLen) override {
        int status = FakeDevice::SendCommand(cmd, dst, data, dataLen, response, responseLen);
        size_t index = sent.size() - 1;
        if (responseLen != nullptr && index < forcedLen.size() && forcedLen[index] != NO_FORCE)
            *responseLen = forcedLen[index];
        return status;
    }
    static const int NO_FORCE = 0x7FFFFFFF;
};

} // namespace

TEST(ModuleAddress, MapsSlotsAndRejectsOthers) {
    const struct {
        int slot;
        int address;
    } cases[] = {{0, 4}, {1, 6}, {13, 30}, {15, 34}, {-1, 0x3F}, {16, 0x3F}, {1000, 0x3F}};
    for (const auto& c : cases) EXPECT_EQ(moduleAddress(c.slot), c.address) << "slot " << c.slot;
}

TEST(ControllerReadInfo, FourByteVersionGivesTypeZeroThenReadsConfig) {
    FakeDevice device;
    device.Reply(0, {0x11, 0x01, 0x02, 0x03});
    device.Reply(0, {0x30, 0x00, 0xC5});
    ControllerRecord r;
    EXPECT_EQ(ReadController(device, r), 0);
    EXPECT_EQ(r.id, 0x11);
    EXPECT_EQ(r.verMajor, 1);
    EXPECT_EQ(r.verMinor, 2);
    EXPECT_EQ(r.verBuild, 3);
    EXPECT_EQ(r.verType, 0);
    ASSERT_EQ(device.sent.size(), 2u);
    EXPECT_EQ(device.sent[0].cmd, 0xF7);
    EXPECT_EQ(device.sent[0].dst, 2);
    EXPECT_TRUE(device.sent[0].data.empty());
    EXPECT_EQ(device.sent[1].cmd, 0x11);
    EXPECT_EQ(device.sent[1].dst, 2);
    EXPECT_TRUE(device.sent[1].data.empty());
    ExpectAnswerOffered(device);
}

TEST(ControllerReadInfo, SixByteVersionTakesTypeAndIgnoresSixthByte) {
    FakeDevice device;
    device.Reply(0, {0xA0, 0xFF, 0x80, 0x4F, 0x07, 0x99});
    device.Reply(0, {});
    ControllerRecord r;
    EXPECT_EQ(ReadController(device, r), 0);
    EXPECT_EQ(r.id, 0xA0);
    EXPECT_EQ(r.verMajor, 0xFF); // bytes are taken unsigned
    EXPECT_EQ(r.verMinor, 0x80);
    EXPECT_EQ(r.verBuild, 0x4F);
    EXPECT_EQ(r.verType, 0x07);
}

TEST(ControllerReadInfo, ThreeByteVersionFailsWithoutConfigMessage) {
    FakeDevice device;
    device.Reply(0, {0x11, 0x01, 0x02});
    ControllerRecord r;
    EXPECT_EQ(ReadController(device, r), -1);
    EXPECT_EQ(device.sent.size(), 1u);
    EXPECT_EQ(r.id, UNTOUCHED);
    EXPECT_EQ(r.verType, UNTOUCHED);
    EXPECT_EQ(r.arIdConfig[0], UNTOUCHED);
}

TEST(ControllerReadInfo, NegativeReportedLengthCountsAsShortAnswer) {
    NonsenseLengthDevice device;
    device.Reply(0, {0x11, 0x01, 0x02, 0x03, 0x04});
    device.forcedLen = {-7};
    ControllerRecord r;
    EXPECT_EQ(ReadController(device, r), -1);
    EXPECT_EQ(r.id, UNTOUCHED);
}

TEST(ControllerReadInfo, VersionStatusPassesThroughUnchanged) {
    FakeDevice device;
    device.Reply(0x119, {0x11, 0x01, 0x02, 0x03});
    ControllerRecord r;
    EXPECT_EQ(ReadController(device, r), 0x119);
    EXPECT_EQ(device.sent.size(), 1u);
    EXPECT_EQ(r.id, UNTOUCHED);
    EXPECT_EQ(r.verMajor, UNTOUCHED);
}

TEST(ControllerReadInfo, ConfigStatusKeepsVersionAndLeavesTableUntouched) {
    FakeDevice device;
    device.Reply(0, {0x11, 0x01, 0x02, 0x03, 0x04});
    device.Reply(-5, {0x66, 0x66});
    ControllerRecord r;
    EXPECT_EQ(ReadController(device, r), -5);
    EXPECT_EQ(r.id, 0x11);
    EXPECT_EQ(r.verType, 0x04);
    for (int entry : r.arIdConfig) EXPECT_EQ(entry, UNTOUCHED);
}

TEST(ControllerReadInfo, ShortConfigAnswerClearsTheRemainingSlots) {
    FakeDevice device;
    device.Reply(0, {0x11, 0x01, 0x02, 0x03});
    device.Reply(0, {0x66, 0x00, 0xC5});
    ControllerRecord r;
    EXPECT_EQ(ReadController(device, r), 0);
    EXPECT_EQ(r.arIdConfig[0], 0x66);
    EXPECT_EQ(r.arIdConfig[1], 0);
    EXPECT_EQ(r.arIdConfig[2], 0xC5);
    for (int i = 3; i < 16; i++) EXPECT_EQ(r.arIdConfig[i], 0) << "slot " << i;
    EXPECT_EQ(r.arIdConfig[16], UNTOUCHED);
}

TEST(ControllerReadInfo, LongConfigAnswerFillsSixteenSlotsOnly) {
    FakeDevice device;
    device.Reply(0, {0x11, 0x01, 0x02, 0x03});
    Bytes config;
    for (int i = 0; i < 20; i++) config.push_back(static_cast<unsigned char>(0xE0 + i));
    device.Reply(0, config);
    ControllerRecord r;
    EXPECT_EQ(ReadController(device, r), 0);
    for (int i = 0; i < 16; i++) EXPECT_EQ(r.arIdConfig[i], 0xE0 + i) << "slot " << i;
    EXPECT_EQ(r.arIdConfig[16], UNTOUCHED);
}

TEST(ControllerReadInfo, ReportedLengthBeyondBufferReadsOnlyTheBuffer) {
    FakeDevice device;
    // The library claims more bytes than the 255 it could copy.
    device.Reply(0, {0x11, 0x01, 0x02, 0x03}, 1000);
    device.Reply(0, Bytes(255, 0x33), 100000);
    ControllerRecord r;
    EXPECT_EQ(ReadController(device, r), 0);
    EXPECT_EQ(r.id, 0x11);
    EXPECT_EQ(r.verType, 0); // never received: the buffer starts cleared
    for (int i = 0; i < 16; i++) EXPECT_EQ(r.arIdConfig[i], 0x33);
    EXPECT_EQ(r.arIdConfig[16], UNTOUCHED);
}

TEST(ModuleReadInfo, PlainModuleSendsOnlyTheVersionMessage) {
    FakeDevice device;
    device.Reply(0, {0x30, 0x01, 0x04, 0x10});
    ModuleRecord r;
    EXPECT_EQ(ReadModule(device, 6, r), 0);
    ASSERT_EQ(device.sent.size(), 1u);
    EXPECT_EQ(device.sent[0].cmd, 0xF7);
    EXPECT_EQ(device.sent[0].dst, 6);
    EXPECT_TRUE(device.sent[0].data.empty());
    ExpectAnswerOffered(device);
    EXPECT_EQ(r.id, 0x30);
    EXPECT_EQ(r.verMajor, 1);
    EXPECT_EQ(r.verMinor, 4);
    EXPECT_EQ(r.verBuild, 0x10);
    EXPECT_EQ(r.verType, UNTOUCHED);
    EXPECT_EQ(r.id66, UNTOUCHED);
    EXPECT_EQ(r.idSub, UNTOUCHED);
}

TEST(ModuleReadInfo, FifthByteIsTypeExceptForType66) {
    FakeDevice plain;
    plain.Reply(0, {0x30, 0x01, 0x04, 0x10, 0x09, 0x77});
    ModuleRecord r;
    EXPECT_EQ(ReadModule(plain, 4, r), 0);
    EXPECT_EQ(r.verType, 0x09);
    EXPECT_EQ(r.id66, UNTOUCHED);

    // Even with the RM52 version, five bytes carry the sub-id themselves: no query follows.
    FakeDevice module66;
    module66.Reply(0, {0x66, 0x02, 0x00, 0x4F, 0x12});
    ModuleRecord r66;
    EXPECT_EQ(ReadModule(module66, 4, r66), 0);
    EXPECT_EQ(r66.id66, 0x12);
    EXPECT_EQ(r66.verType, UNTOUCHED);
    EXPECT_EQ(module66.sent.size(), 1u);
}

TEST(ModuleReadInfo, VersionFailuresGiveOneAndTwo) {
    FakeDevice failing;
    failing.Reply(0x102, {0x30, 0x01, 0x04, 0x10});
    ModuleRecord r;
    EXPECT_EQ(ReadModule(failing, 4, r), 1);
    EXPECT_EQ(r.id, UNTOUCHED);

    FakeDevice shortAnswer;
    shortAnswer.Reply(0, {0x30, 0x01, 0x04});
    EXPECT_EQ(ReadModule(shortAnswer, 4, r), 2);
    EXPECT_EQ(r.id, UNTOUCHED);

    NonsenseLengthDevice negative;
    negative.Reply(0, {0x30, 0x01, 0x04, 0x10});
    negative.forcedLen = {-2};
    EXPECT_EQ(ReadModule(negative, 4, r), 2);
    EXPECT_EQ(r.id, UNTOUCHED);
}

TEST(ModuleReadInfo, Rm52FirmwareAsksForItsSubId) {
    const struct {
        Bytes version;
    } cases[] = {{{0x66, 0x02, 0x00, 0x4F}},
                 {{0x66, 0x02, 0x00, 0xCE}},
                 {{0x66, 0x01, 0x03, 0xCE}},
                 {{0x66, 0x01, 0x03, 0x4F}}};
    for (const auto& c : cases) {
        FakeDevice device;
        device.Reply(0, c.version);
        device.Reply(0, {0x08, 0x12});
        ModuleRecord r;
        EXPECT_EQ(ReadModule(device, 8, r), 0);
        ASSERT_EQ(device.sent.size(), 2u);
        EXPECT_EQ(device.sent[1].cmd, 0xFF);
        EXPECT_EQ(device.sent[1].dst, 8);
        EXPECT_TRUE(device.sent[1].data.empty());
        ExpectAnswerOffered(device);
        EXPECT_EQ(r.id66, 0x6612);
        EXPECT_EQ(r.verType, UNTOUCHED);
        EXPECT_EQ(r.idSub, UNTOUCHED);
    }
}

TEST(ModuleReadInfo, FailingSubIdQueryGivesThree) {
    const struct {
        const char* what;
        int status;
        Bytes answer;
        int reportedLen;
    } cases[] = {
        {"status", 0x102, {0x04, 0x12}, NonsenseLengthDevice::NO_FORCE},
        {"three bytes", 0, {0x04, 0x12, 0x00}, NonsenseLengthDevice::NO_FORCE},
        {"one byte", 0, {0x04}, NonsenseLengthDevice::NO_FORCE},
        {"other address", 0, {0x06, 0x12}, NonsenseLengthDevice::NO_FORCE},
        {"length beyond buffer", 0, {0x04, 0x12}, 1000},
        {"negative length", 0, {0x04, 0x12}, -2},
    };
    for (const auto& c : cases) {
        NonsenseLengthDevice device;
        device.Reply(0, {0x66, 0x02, 0x00, 0x4F});
        device.Reply(c.status, c.answer);
        device.forcedLen = {NonsenseLengthDevice::NO_FORCE, c.reportedLen};
        ModuleRecord r;
        EXPECT_EQ(ReadModule(device, 4, r), 3) << c.what;
        EXPECT_EQ(device.sent.size(), 2u) << c.what;
        EXPECT_EQ(r.id66, UNTOUCHED) << c.what;
        EXPECT_EQ(r.id, 0x66) << c.what;
    }
}

TEST(ModuleReadInfo, OtherFirmwareOfType66IsNotQueried) {
    const Bytes cases[] = {
        {0x66, 0x02, 0x01, 0x4F}, // 2.1
        {0x66, 0x02, 0x00, 0xCD}, // other build
        {0x66, 0x01, 0x03, 0x4E}, {0x66, 0x01, 0x02, 0xCE},
        {0x66, 0x03, 0x00, 0x4F}, {0x65, 0x02, 0x00, 0x4F}, // other type id
    };
    for (const Bytes& version : cases) {
        FakeDevice device;
        device.Reply(0, version);
        ModuleRecord r;
        EXPECT_EQ(ReadModule(device, 4, r), 0);
        EXPECT_EQ(device.sent.size(), 1u)
            << int(version[1]) << "." << int(version[2]) << "." << int(version[3]);
        EXPECT_EQ(r.id66, UNTOUCHED);
    }
}

TEST(ModuleReadInfo, VelumSubIdComesFromItsEepromBlock) {
    // The sub-id sits at 2 + the low digit of the type id: 2 .. 16 for C0 .. CE.
    const int ids[] = {0xC0, 0xC5, 0xCE};
    for (int id : ids) {
        Bytes block = {0xAA, 0x55};
        for (int i = 2; i < 18; i++) block.push_back(static_cast<unsigned char>(0x40 + i));
        FakeDevice device;
        device.Reply(0, {static_cast<unsigned char>(id), 0x01, 0x00, 0x20, 0x03});
        device.Reply(0, block);
        ModuleRecord r;
        EXPECT_EQ(ReadModule(device, 10, r), 0);
        ASSERT_EQ(device.sent.size(), 2u);
        EXPECT_EQ(device.sent[1].cmd, 0xF9);
        EXPECT_EQ(device.sent[1].dst, 10);
        EXPECT_EQ(device.sent[1].data, (Bytes{0x00, 0x80, 0x12}));
        ExpectAnswerOffered(device);
        EXPECT_EQ(r.idSub, 0x40 + 2 + (id & 0x0F)) << std::hex << id;
        EXPECT_EQ(r.verType, 0x03);
    }
}

TEST(ModuleReadInfo, BadVelumBlockLeavesSubIdAndSucceeds) {
    Bytes good = {0xAA, 0x55};
    for (int i = 2; i < 18; i++) good.push_back(0x77);
    Bytes swapped = good;
    swapped[0] = 0x55;
    swapped[1] = 0xAA;
    const struct {
        const char* what;
        int status;
        Bytes block;
    } cases[] = {
        {"17 bytes", 0, Bytes(good.begin(), good.end() - 1)},
        {"signature swapped", 0, swapped},
        {"status", 0x102, good},
    };
    for (const auto& c : cases) {
        FakeDevice device;
        device.Reply(0, {0xC5, 0x01, 0x00, 0x20});
        device.Reply(c.status, c.block);
        ModuleRecord r;
        EXPECT_EQ(ReadModule(device, 4, r), 0) << c.what;
        EXPECT_EQ(device.sent.size(), 2u) << c.what;
        EXPECT_EQ(r.idSub, UNTOUCHED) << c.what;
    }
}

TEST(ModuleReadInfo, VelumBlockWithLengthBeyondBufferReadsInsideIt) {
    Bytes block(255, 0x21);
    block[0] = 0xAA;
    block[1] = 0x55;
    FakeDevice device;
    device.Reply(0, {0xCE, 0x01, 0x00, 0x20});
    device.Reply(0, block, 4096);
    ModuleRecord r;
    EXPECT_EQ(ReadModule(device, 4, r), 0);
    EXPECT_EQ(r.idSub, 0x21);
}

TEST(ModuleReadInfo, TypeIdsOutsideVelumRangeReadNoEeprom) {
    const int ids[] = {0xBF, 0xCF, 0x66, 0x00};
    for (int id : ids) {
        FakeDevice device;
        device.Reply(0, {static_cast<unsigned char>(id), 0x01, 0x00, 0x20});
        ModuleRecord r;
        EXPECT_EQ(ReadModule(device, 4, r), 0);
        EXPECT_EQ(device.sent.size(), 1u) << std::hex << id;
        EXPECT_EQ(r.idSub, UNTOUCHED);
    }
}

TEST(ModuleFamily, DecidedAtItsEdges) {
    const struct {
        const char* what;
        int id, id66, verMajor, verMinor, verBuild;
        int family;
    } cases[] = {
        // The RM52 families only where the FF query gave the sub-id (type id in its high byte).
        {"RM52 sub-id from the query", 0x66, 0x6612, 2, 0, 0x4F, MODULE_FAMILY_RM52},
        {"RM52 sub-id 0 from the query", 0x66, 0x6600, 2, 0, 0xCE, MODULE_FAMILY_RM52},
        {"dial-pad sub-id from the query", 0x66, 0x6635, 1, 3, 0xCE, MODULE_FAMILY_RM52_DIALPAD},
        {"type 65 with RM52 firmware", 0x65, 0x6512, 2, 0, 0x4F, MODULE_FAMILY_OTHER},
        // RM52 firmware that named its sub-id in a fifth version byte was not asked.
        {"RM52 firmware, sub-id in a fifth byte", 0x66, 0x12, 2, 0, 0x4F, MODULE_FAMILY_66},
        {"type 66, other firmware", 0x66, 0, 2, 1, 0x4F, MODULE_FAMILY_66},
        // The VELUM range, both ends included.
        {"lowest VELUM id", 0xC0, 0, 1, 0, 0, MODULE_FAMILY_VELUM},
        {"highest VELUM id", 0xCE, 0, 1, 0, 0, MODULE_FAMILY_VELUM},
        {"below VELUM", 0xBF, 0, 1, 0, 0, MODULE_FAMILY_OTHER},
        {"above VELUM", 0xCF, 0, 1, 0, 0, MODULE_FAMILY_OTHER},
    };
    for (const auto& c : cases)
        EXPECT_EQ(deviceModuleFamily(c.id, c.id66, c.verMajor, c.verMinor, c.verBuild), c.family) << c.what;
}
