// Volumes assembled from DICOM files of a slice each, written here with
// GDCM: which slices make which volume, and when a volume is complete.
// Every pixel tells its volume, slice, row and column, so a volume's voxels
// show where each slice went.
#include "korvanth/sources/dicom/volume_assembly.h"

#include <gdcmAttribute.h>
#include <gdcmImage.h>
#include <gdcmImageWriter.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr int columns = 4, rows = 3, slicesPerVolume = 4;
constexpr double sliceStepMm = 3.0;
const char* const runUid = "1.2.826.0.1.3680043.9.7.1";

int16_t pixelOf(int volume, int slice, int row, int column) {
    return static_cast<int16_t>(1000 * volume + 100 * slice + 10 * row + column);
}

struct SliceFile {
    int volume;             // from 1
    int slice;              // from 0, 3 mm apart along z
    bool temporalPosition;  // the volume recorded as (0020,0100)
    bool countRecorded;     // the slices a volume has, recorded as (0020,1002)
    std::string seriesUid = runUid;
    int16_t pixelShift = 0;  // added to every pixel: a slice written again differently
    int acquisition = 0;     // recorded as (0020,0012) when above 0
};

// One classic MR slice of 4 x 3 pixels of 2 mm, its instance number running
// on through the series, as <folder>/<name>.dcm.
std::string writeSlice(const fs::path& folder, const std::string& name, const SliceFile& s) {
    gdcm::ImageWriter writer;
    gdcm::Image& image = writer.GetImage();
    image.SetNumberOfDimensions(2);
    image.SetDimension(0, columns);
    image.SetDimension(1, rows);
    image.SetSpacing(0, 2.0);
    image.SetSpacing(1, 2.0);
    const double origin[3] = {-10.0, -20.0, sliceStepMm * s.slice}, cosines[6] = {1, 0, 0, 0, 1, 0};
    for (unsigned axis = 0; axis < 3; ++axis) image.SetOrigin(axis, origin[axis]);  // all three of a 2-D image
    image.SetDirectionCosines(cosines);
    image.SetPixelFormat(gdcm::PixelFormat::INT16);
    image.SetPhotometricInterpretation(gdcm::PhotometricInterpretation::MONOCHROME2);
    std::vector<int16_t> pixels;
    for (int row = 0; row < rows; ++row)
        for (int column = 0; column < columns; ++column)
            pixels.push_back(static_cast<int16_t>(pixelOf(s.volume, s.slice, row, column) + s.pixelShift));
    gdcm::DataElement data(gdcm::Tag(0x7fe0, 0x0010));
    data.SetByteValue(reinterpret_cast<const char*>(pixels.data()), static_cast<uint32_t>(pixels.size() * 2));
    image.SetDataElement(data);
    gdcm::DataSet& ds = writer.GetFile().GetDataSet();
    ds.Replace(gdcm::Attribute<0x0008, 0x0016>{"1.2.840.10008.5.1.4.1.1.4"}.GetAsDataElement());
    ds.Replace(gdcm::Attribute<0x0008, 0x0060>{"MR"}.GetAsDataElement());
    ds.Replace(gdcm::Attribute<0x0028, 0x0004>{"MONOCHROME2"}.GetAsDataElement());
    ds.Replace(gdcm::Attribute<0x0020, 0x000e>{s.seriesUid.c_str()}.GetAsDataElement());
    ds.Replace(gdcm::Attribute<0x0020, 0x0011>{s.seriesUid == runUid ? 5 : 6}.GetAsDataElement());
    ds.Replace(gdcm::Attribute<0x0008, 0x103e>{s.seriesUid == runUid ? "bold" : "localiser"}.GetAsDataElement());
    ds.Replace(gdcm::Attribute<0x0020, 0x0013>{(s.volume - 1) * slicesPerVolume + s.slice + 1}.GetAsDataElement());
    if (s.temporalPosition) ds.Replace(gdcm::Attribute<0x0020, 0x0100>{s.volume}.GetAsDataElement());
    if (s.acquisition > 0) ds.Replace(gdcm::Attribute<0x0020, 0x0012>{s.acquisition}.GetAsDataElement());
    if (s.countRecorded) ds.Replace(gdcm::Attribute<0x0020, 0x1002>{slicesPerVolume}.GetAsDataElement());
    const fs::path path = folder / (name + ".dcm");
    writer.SetFileName(path.string().c_str());
    EXPECT_TRUE(writer.Write()) << path;
    return path.string();
}

class VolumeAssembly : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = fs::temp_directory_path() /
                  ("korvanth_assembly_" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
        fs::create_directories(folder_);
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }

    // Writes `slices`, reads them in one go and adds them in their order;
    // each volume is noted with the number of files added when it came out.
    void addInOrder(const std::vector<SliceFile>& slices) {
        std::vector<std::string> paths;
        for (const SliceFile& s : slices) paths.push_back(writeSlice(folder_, std::to_string(paths.size()), s));
        std::vector<korvanth::DicomRead> read;
        korvanth::readDicomFiles(paths, read);
        ASSERT_EQ(read.size(), paths.size());
        for (std::size_t i = 0; i < read.size(); ++i) {
            ASSERT_TRUE(read[i].ok) << read[i].error;
            std::string why;
            if (!assembly_.add(std::move(read[i].file), why)) refused_.push_back(why);
            for (korvanth::AssembledVolume& volume : assembly_.takeComplete()) {
                completedAfter_[volume.key] = i + 1;
                volumes_.push_back(std::move(volume));
            }
        }
    }
    // Volume `volume`'s voxels as the reference converter places them:
    // slices along z, the rows of each reversed.
    static std::vector<int16_t> expectedVoxels(int volume) {
        std::vector<int16_t> voxels;
        for (int slice = 0; slice < slicesPerVolume; ++slice)
            for (int row = rows - 1; row >= 0; --row)
                for (int column = 0; column < columns; ++column) voxels.push_back(pixelOf(volume, slice, row, column));
        return voxels;
    }

    fs::path folder_;
    korvanth::VolumeAssembly assembly_;
    std::vector<korvanth::AssembledVolume> volumes_;
    std::map<int64_t, std::size_t> completedAfter_;
    std::vector<std::string> refused_;
};

// Three volumes' slices in shuffled order, keyed by temporal position, the
// count recorded; a slice written twice (the first kept) and a slice of
// another series at the same place among them. Each volume comes out when
// its last slice came, never sooner, whole, and of its own slices only.
TEST_F(VolumeAssembly, ShuffledSlicesMakeEachVolumeOnceAllItsSlicesCame) {
    std::vector<SliceFile> slices;
    for (int volume = 1; volume <= 3; ++volume)
        for (int slice = 0; slice < slicesPerVolume; ++slice) slices.push_back({volume, slice, true, true});
    std::shuffle(slices.begin(), slices.end(), std::mt19937(11));
    const SliceFile first = slices.front();
    slices.insert(slices.begin() + 1, {first.volume, first.slice, true, true, "1.2.826.0.1.3680043.9.7.2"});
    slices.insert(slices.begin() + 2, {first.volume, first.slice, true, true, runUid, 7});
    std::map<int64_t, std::size_t> lastSliceAt;
    for (std::size_t i = 0; i < slices.size(); ++i)
        if (slices[i].seriesUid == runUid) lastSliceAt[slices[i].volume] = i + 1;
    addInOrder(slices);

    ASSERT_EQ(refused_.size(), 1u);
    EXPECT_EQ(refused_[0],
              (folder_ / "1.dcm").string() + ": another series (6 \"localiser\"), the run's is 5 \"bold\"");
    EXPECT_EQ(completedAfter_, lastSliceAt);
    ASSERT_EQ(volumes_.size(), 3u);
    for (const korvanth::AssembledVolume& v : volumes_) {
        SCOPED_TRACE("volume " + std::to_string(v.key));
        EXPECT_EQ(std::vector<int32_t>(v.info.dims, v.info.dims + 3), (std::vector<int32_t>{columns, rows, 4}));
        EXPECT_DOUBLE_EQ(v.info.voxelSizeMm[2], sliceStepMm);
        EXPECT_TRUE(v.voxels == expectedVoxels(static_cast<int>(v.key)));
        EXPECT_EQ(v.files.size(), static_cast<std::size_t>(slicesPerVolume));
    }
    EXPECT_TRUE(assembly_.incompleteKeys().empty());
}

// Nothing recorded but instance numbers running on: the count is the first
// volume's, known once a slice repeats one of its places, so the first volume
// waits for the next one's first slice and the next is complete with its own
// last.
TEST_F(VolumeAssembly, WithoutARecordedCountTheFirstVolumeWaitsForTheNextOne) {
    std::vector<SliceFile> slices;
    for (int volume = 1; volume <= 2; ++volume)
        for (int slice = 0; slice < slicesPerVolume; ++slice) slices.push_back({volume, slice, false, false});
    addInOrder(slices);
    EXPECT_TRUE(refused_.empty());
    EXPECT_EQ(completedAfter_, (std::map<int64_t, std::size_t>{{1, 5}, {2, 8}}));
    ASSERT_EQ(volumes_.size(), 2u);
    EXPECT_TRUE(volumes_[0].voxels == expectedVoxels(1));
    EXPECT_TRUE(volumes_[1].voxels == expectedVoxels(2));
}

// An acquisition a volume, the count not recorded, files read out of order:
// a middle slice of the first volume comes after the next volume began. The count waits for them rather than cut every
// volume to fit; once learnt, a slice where the first volume has none is refused, named.
TEST_F(VolumeAssembly, SlicesOfTheFirstVolumeWrittenLateAreWaitedForNotCut) {
    const auto slice = [](int volume, int at) { return SliceFile{volume, at, false, false, runUid, 0, volume}; };
    addInOrder({slice(1, 0), slice(1, 1), slice(1, 3), slice(2, 0), slice(2, 1), slice(1, 2), slice(2, 2), slice(2, 3),
                slice(3, 0), slice(3, 1), slice(3, 2), slice(3, 4), slice(3, 3)});
    ASSERT_EQ(volumes_.size(), 3u);
    for (int volume = 1; volume <= 3; ++volume)
        EXPECT_TRUE(volumes_[static_cast<std::size_t>(volume - 1)].voxels == expectedVoxels(volume)) << volume;
    EXPECT_EQ(completedAfter_, (std::map<int64_t, std::size_t>{{1, 6}, {2, 8}, {3, 13}}));
    ASSERT_EQ(refused_.size(), 1u);
    EXPECT_EQ(refused_[0], (folder_ / "11.dcm").string() +
                               ": a slice where the run's first volume has none (its 4 slices are the count the "
                               "run's volumes were made with)");
}

}  // namespace
