// Binding the plug-in to its host through a fake lookup: which slots the
// loader fills, in which order, what it leaves alone when it stops early, and
// which host versions it accepts. Also the plug-in's handling of host answers
// that fill a whole text buffer.
#include "plugin/host_binding/host_function_table.h"
#include "plugin/tarvex_plugin.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

using ::HostFunctionAddress;
using tarvex::hostFunctions;
using tarvex::HostFunctionTable;

// The host's exported names in resolution order, written out independently
// of the loader.
const char* const expectedOrder[44] = {
    "tGetVersionOfKRV",
    "tGetKRVPath",
    "tGetPluginsPath",
    "tLogText",
    "tMessageBox",
    "tYesNoMessageBox",
    "tGetIntegerInput",
    "tGetFloatInput",
    "tGetTextInput",
    "tGetOpenFileName",
    "tGetSaveFileName",
    "tGetCurrentTimePoint",
    "tGetExpectedNrOfTimePoints",
    "tGetDimsOfFunctionalData",
    "tGetProjectName",
    "tGetWatchFolder",
    "tGetTargetFolder",
    "tGetFeedbackFolder",
    "tGetCurrentProtocolCondition",
    "tGetFullNrOfPredictors",
    "tGetCurrentNrOfPredictors",
    "tGetNrOfConfoundPredictors",
    "tGetValueOfDesignMatrix",
    "tGetNrOfContrasts",
    "tGetNrOfROIs",
    "tGetMeanOfROI",
    "tGetNrOfVoxelsOfROI",
    "tGetBetaOfROI",
    "tGetCoordsOfVoxelOfROI",
    "tGetValueOfVoxelAtTime",
    "tGetTimeCourseData",
    "tGetBetaOfVoxel",
    "tGetBetaMaps",
    "tGetMapValueOfVoxel",
    "tGetContrastMaps",
    "tRegisterMaps",
    "tSetPluginMapName",
    "tSetDisplayStatusOfMap",
    "tUpdateMapList",
    "tSetPluginMapsThreshold",
    "tShowPluginMaps",
    "tGetPluginMaps",
    "tGetNumberOfClasses",
    "tGetCurrentClassifierOutput",
};

// The functions the plug-in calls; a host without one of them is refused.
const std::set<std::string> calledNames = {
    "tGetVersionOfKRV",       "tGetKRVPath",      "tGetPluginsPath",    "tLogText",       "tGetDimsOfFunctionalData",
    "tGetProjectName",        "tGetTargetFolder", "tGetTimeCourseData", "tRegisterMaps",  "tSetPluginMapName",
    "tSetDisplayStatusOfMap", "tUpdateMapList",   "tShowPluginMaps",    "tGetPluginMaps",
};

int slotOf(const std::string& name) {
    for (int slot = 0; slot < 44; ++slot)
        if (name == expectedOrder[slot]) return slot;
    return -1;
}

// --- the fake host ---------------------------------------------------------

struct FakeHost {
    bool present = true;
    std::set<std::string> missing;
    std::map<std::string, HostFunctionAddress> real;  // functions that may be called
    int32_t version[3] = {3, 0, 0};
    int versionCalls = 0;
    std::vector<std::string> lookedUp;
};
FakeHost fake;
char moduleMarker;
// One distinct, never-called address per slot.
char slotAnchors[44];

void fakeVersion(int32_t* major, int32_t* minor, int32_t* subMinor) {
    ++fake.versionCalls;
    *major = fake.version[0];
    *minor = fake.version[1];
    *subMinor = fake.version[2];
}

void* fakeFindModule() { return fake.present ? &moduleMarker : nullptr; }

HostFunctionAddress fakeFindFunction(void* module, const char* name) {
    fake.lookedUp.emplace_back(name);
    if (module != &moduleMarker || fake.missing.count(name) != 0) return nullptr;
    if (std::strcmp(name, "tGetVersionOfKRV") == 0) return reinterpret_cast<HostFunctionAddress>(&fakeVersion);
    const auto real = fake.real.find(name);
    if (real != fake.real.end()) return real->second;
    const int slot = slotOf(name);
    return slot < 0 ? nullptr : reinterpret_cast<HostFunctionAddress>(&slotAnchors[slot]);
}

const tarvex::HostLookup fakeLookup{&fakeFindModule, &fakeFindFunction};

using Slots = std::vector<void*>;

Slots slots() {
    static_assert(sizeof(HostFunctionTable) == 44 * sizeof(void*), "one pointer per host function");
    Slots out(44);
    std::memcpy(out.data(), &hostFunctions(), sizeof(HostFunctionTable));
    return out;
}

void setSlots(const Slots& values) { std::memcpy(&hostFunctions(), values.data(), sizeof(HostFunctionTable)); }

Slots sentinels() {
    static char sentinelAnchors[44];
    Slots out(44);
    for (int slot = 0; slot < 44; ++slot) out[slot] = &sentinelAnchors[slot];
    return out;
}

void* anchorOf(int slot) {
    return slot == 0 ? reinterpret_cast<void*>(&fakeVersion) : static_cast<void*>(&slotAnchors[slot]);
}

class HostBinding : public ::testing::Test {
protected:
    void SetUp() override { fake = FakeHost{}; }
};

// Declared first so that it sees the table as the library loads it, also
// when every test of this file runs in one process.
TEST_F(HostBinding, AbsentHostLeavesTheFreshTableNullAndIsRefused) {
    EXPECT_EQ(slots(), Slots(44, nullptr));
    fake.present = false;
    EXPECT_FALSE(tarvex::bindToHost(fakeLookup));
    EXPECT_EQ(slots(), Slots(44, nullptr));
    EXPECT_TRUE(fake.lookedUp.empty());
    EXPECT_EQ(fake.versionCalls, 0);
}

TEST_F(HostBinding, AbsentHostLeavesAFilledTableAsItWas) {
    setSlots(sentinels());
    fake.present = false;
    EXPECT_FALSE(tarvex::loadHostFunctions(fakeLookup));
    EXPECT_EQ(slots(), sentinels());
}

TEST_F(HostBinding, MissingVersionFunctionStopsAfterSlotZero) {
    setSlots(sentinels());
    fake.missing = {"tGetVersionOfKRV"};
    EXPECT_FALSE(tarvex::bindToHost(fakeLookup));
    Slots expected = sentinels();
    expected[0] = nullptr;
    EXPECT_EQ(slots(), expected);
    EXPECT_EQ(fake.lookedUp, std::vector<std::string>{"tGetVersionOfKRV"});
}

TEST_F(HostBinding, EverySlotHoldsTheFunctionOfItsNameResolvedInSlotOrder) {
    setSlots(sentinels());
    ASSERT_TRUE(tarvex::bindToHost(fakeLookup));
    const Slots table = slots();
    for (int slot = 0; slot < 44; ++slot) EXPECT_EQ(table[slot], anchorOf(slot)) << expectedOrder[slot];
    EXPECT_EQ(fake.lookedUp, std::vector<std::string>(std::begin(expectedOrder), std::end(expectedOrder)));
    EXPECT_EQ(fake.versionCalls, 1);
}

TEST_F(HostBinding, SecondBindGivesTheSameTableAndResult) {
    for (const bool accepted : {true, false}) {
        fake.version[0] = accepted ? 3 : 2;
        const bool first = tarvex::bindToHost(fakeLookup);
        const Slots afterFirst = slots();
        const bool second = tarvex::bindToHost(fakeLookup);
        EXPECT_EQ(first, accepted);
        EXPECT_EQ(second, first);
        EXPECT_EQ(slots(), afterFirst);
    }
}

TEST_F(HostBinding, VersionGateComparesPartByPartFromThreeZeroZero) {
    struct Case {
        int32_t major, minor, subMinor;
        bool accepted;
    };
    const Case cases[] = {
        {3, 0, 0, true},   {2, 99, 99, false}, {3, 0, -1, false}, {3, -1, 7, false}, {3, 1, -5, true},
        {4, -2, -2, true}, {0, 0, 0, false},   {-4, 0, 0, false}, {3, 0, 1, true},   {INT32_MAX, INT32_MIN, 0, true},
    };
    for (const Case& c : cases) {
        fake.version[0] = c.major;
        fake.version[1] = c.minor;
        fake.version[2] = c.subMinor;
        const int callsBefore = fake.versionCalls;
        EXPECT_EQ(tarvex::bindToHost(fakeLookup), c.accepted) << c.major << '.' << c.minor << '.' << c.subMinor;
        EXPECT_EQ(fake.versionCalls, callsBefore + 1);
        // A refused version leaves the table filled.
        EXPECT_EQ(slots()[3], anchorOf(3));
    }
}

// A missing function the plug-in calls refuses the host; a missing function
// it never calls only leaves its slot null.
TEST_F(HostBinding, MissingFunctionRefusesExactlyWhenThePluginCallsIt) {
    for (int slot = 1; slot < 44; ++slot) {
        const std::string name = expectedOrder[slot];
        setSlots(sentinels());
        fake = FakeHost{};
        fake.missing = {name};
        const bool called = calledNames.count(name) != 0;
        EXPECT_EQ(tarvex::bindToHost(fakeLookup), !called) << name;
        // Every slot is still resolved: the missing one null, the others filled.
        const Slots table = slots();
        for (int other = 0; other < 44; ++other)
            EXPECT_EQ(table[other], other == slot ? nullptr : anchorOf(other)) << name << " / " << expectedOrder[other];
        // A refused host is not asked for its version.
        EXPECT_EQ(fake.versionCalls, called ? 0 : 1) << name;
    }
}

TEST_F(HostBinding, ProgramNotNamedAsTheHostIsRefusedByThePlatformLookup) {
    EXPECT_EQ(tarvex::platformHostLookup().findHostModule(), nullptr);
    EXPECT_FALSE(tarvex::bindToHost());
}

// --- host answers that fill a whole buffer ----------------------------------

std::vector<std::string> logged;
std::string targetFolderAnswer;
int16_t volume0[2] = {50, 60};  // both below the mask: the step does no voxel work
int16_t* timeCourse[2] = {volume0, volume0};
float mapBlock[16];

void fakeLog(const char* line) { logged.emplace_back(line); }
// Fill every byte the plug-in may hand out, terminator included.
void fakeFullPath(char* path512) { std::memset(path512, 'p', 512); }
void fakeFullName(char* name601) { std::memset(name601, 'n', 601); }
void fakeFolder(char* folder601) { std::strcpy(folder601, targetFolderAnswer.c_str()); }
void fakeDims(int32_t* x, int32_t* y, int32_t* z) { *x = 2, *y = 1, *z = 1; }
int16_t** fakeTimeCourse() { return timeCourse; }
float* fakeMaps() { return mapBlock; }
void fakeRegister(int32_t) {}
void fakeName(int32_t, const char*) {}
void fakeStatus(int32_t, int32_t) {}
void fakeShow(bool) {}
void fakeUpdate() {}

template <typename F>
HostFunctionAddress address(F* function) {
    return reinterpret_cast<HostFunctionAddress>(function);
}

class FullHostBuffers : public HostBinding {
protected:
    void SetUp() override {
        HostBinding::SetUp();
        logged.clear();
        targetFolderAnswer = "/nonexistent-folder/";
        fake.real = {
            {"tLogText", address(&fakeLog)},
            {"tGetKRVPath", address(&fakeFullPath)},
            {"tGetPluginsPath", address(&fakeFullPath)},
            {"tGetProjectName", address(&fakeFullName)},
            {"tGetTargetFolder", address(&fakeFolder)},
            {"tGetDimsOfFunctionalData", address(&fakeDims)},
            {"tGetTimeCourseData", address(&fakeTimeCourse)},
            {"tGetPluginMaps", address(&fakeMaps)},
            {"tRegisterMaps", address(&fakeRegister)},
            {"tSetPluginMapName", address(&fakeName)},
            {"tSetDisplayStatusOfMap", address(&fakeStatus)},
            {"tShowPluginMaps", address(&fakeShow)},
            {"tUpdateMapList", address(&fakeUpdate)},
        };
        ASSERT_TRUE(tarvex::bindToHost(fakeLookup));
    }
    TarvexPlugin plugin;
};

TEST_F(FullHostBuffers, PathsThatFillTheBufferAreCutInsideIt) {
    ASSERT_TRUE(plugin.executePreRun());
    ASSERT_GE(logged.size(), 5u);
    EXPECT_EQ(logged[3], "Info - Path to KRV: " + std::string(511, 'p'));
    EXPECT_EQ(logged[4], "Info - Path to Plugins: " + std::string(511, 'p'));
}

TEST_F(FullHostBuffers, ProjectNameThatFillsTheBufferIsCutInsideIt) {
    ASSERT_TRUE(plugin.executePreRun());
    ASSERT_TRUE(plugin.executePreStep());
    logged.clear();
    ASSERT_TRUE(plugin.executePostStep());
    EXPECT_TRUE(logged.empty());
    ASSERT_TRUE(plugin.executePostStep());
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0], "Processing project: " + std::string(600, 'n'));
    // From step 2 the motion log name is formed from the same cut text; the
    // step goes on with zero motion.
    EXPECT_TRUE(plugin.executePostStep());
    EXPECT_EQ(plugin.stepCount, 3);
}

}  // namespace
