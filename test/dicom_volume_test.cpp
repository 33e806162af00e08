// The DICOM volume reader against dcm2niix, the reference converter: the
// shared Siemens mosaic series against its shipped conversion, and the shared
// real-time export against a conversion made here by Debian's dcm2niix.
// Identical voxel values, every voxel placed within 0.01 mm, the same TR.
#include <gtest/gtest.h>

#include "korvanth/sources/dicom_volume.h"
#include "korvanth/sources/nifti_series.h"
#include "korvanth/sources/watch_folder.h"

#include <gdcmAttribute.h>
#include <gdcmImage.h>
#include <gdcmImageWriter.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using korvanth::SeriesInfo;

const fs::path dicomDir = fs::path(TARVEX_SHARED_DATA_DIR) / "dicom";

// The files of a folder in volume order (as the watcher orders them).
std::vector<fs::path> volumeFiles(const fs::path& folder) {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(folder)) files.push_back(entry.path());
    std::sort(files.begin(), files.end(), [](const fs::path& a, const fs::path& b) {
        return korvanth::naturalLess(a.filename().string(), b.filename().string());
    });
    return files;
}

// The world position (mm) of voxel (i, j, k) under `series`' geometry.
std::array<double, 3> world(const SeriesInfo& series, double i, double j, double k) {
    double m[3][4];
    korvanth::voxelToWorld(series.geometry, m);
    std::array<double, 3> p{};
    for (int r = 0; r < 3; ++r) p[static_cast<std::size_t>(r)] = m[r][0] * i + m[r][1] * j + m[r][2] * k + m[r][3];
    return p;
}

// Every file of `folder` read as one volume equals the matching volume of
// `reference` (a dcm2niix conversion of the folder) voxel for voxel, with
// every corner voxel placed within 0.01 mm, by sform and qform alike.
void expectSameAsReference(const fs::path& folder, const fs::path& reference, double trSeconds) {
    korvanth::NiftiSeries expected;
    std::string error;
    korvanth::NiftiVolume single;
    if (korvanth::readNiftiVolume(reference.string(), single, error)) {
        expected.info = single.info;
        expected.volumes.push_back(single.voxels);
    } else {
        error.clear();
        ASSERT_TRUE(korvanth::readNiftiSeries(reference.string(), expected, error)) << error;
    }
    const std::vector<fs::path> files = volumeFiles(folder);
    ASSERT_EQ(files.size(), expected.volumes.size());
    for (std::size_t t = 0; t < files.size(); ++t) {
        SCOPED_TRACE(files[t].string());
        korvanth::DicomVolume volume;
        ASSERT_TRUE(korvanth::readDicomVolume(files[t].string(), volume, error)) << error;
        const SeriesInfo& got = volume.info;
        ASSERT_EQ(std::vector<int32_t>(got.dims, got.dims + 3),
                  std::vector<int32_t>(expected.info.dims, expected.info.dims + 3));
        EXPECT_TRUE(volume.voxels == expected.volumes[t]) << "voxel values differ from dcm2niix's";
        EXPECT_EQ(volume.clamped, 0);
        EXPECT_TRUE(volume.repetitionTimeRecorded);
        EXPECT_NEAR(got.repetitionTimeSeconds, trSeconds, 1e-9);
        for (int axis = 0; axis < 3; ++axis)
            EXPECT_NEAR(got.voxelSizeMm[axis], expected.info.voxelSizeMm[axis], 1e-4) << "axis " << axis;
        for (int corner = 0; corner < 8; ++corner) {
            const double i = (corner & 1) ? got.dims[0] - 1 : 0;
            const double j = (corner & 2) ? got.dims[1] - 1 : 0;
            const double k = (corner & 4) ? got.dims[2] - 1 : 0;
            const auto want = world(expected.info, i, j, k);
            const SeriesInfo byQform = [&] {
                SeriesInfo q = got;
                q.geometry.sformCode = 0;
                return q;
            }();
            for (const SeriesInfo* form : {&got, &byQform}) {
                const auto have = world(*form, i, j, k);
                for (int a = 0; a < 3; ++a)
                    EXPECT_NEAR(have[static_cast<std::size_t>(a)], want[static_cast<std::size_t>(a)], 0.01)
                        << "corner " << corner << (form == &got ? " (sform)" : " (qform)");
            }
        }
    }
}

TEST(DicomVolume, SiemensMosaicSeriesReadsAsDcm2niixConvertedIt) {
    const fs::path folder = dicomDir / "siemens_mosaic_ep2d";
    const fs::path reference = dicomDir / "siemens_mosaic_ep2d_dcm2niix.nii.gz";
    for (const fs::path& needed : {folder, reference})
        if (!fs::exists(needed)) GTEST_SKIP() << "shared data missing: " << needed;
    expectSameAsReference(folder, reference, 3.2);
}

// Converts `folder` with Debian's dcm2niix into out/reference.nii.gz.
bool convertWithDcm2niix(const fs::path& folder, const fs::path& out) {
    fs::create_directories(out);
    const std::string command = "/usr/bin/dcm2niix -z y -b n -f reference -o '" + out.string() + "' '" +
                                folder.string() + "' > '" + (out / "dcm2niix.log").string() + "' 2>&1";
    return std::system(command.c_str()) == 0 && fs::exists(out / "reference.nii.gz");
}

fs::path scratchFolder(const std::string& name) {
    std::random_device random;
    return fs::temp_directory_path() / ("korvanth_" + name + "_" + std::to_string(random() % 100000000u));
}

TEST(DicomVolume, RealtimeExportReadsAsDebiansDcm2niixConvertsIt) {
    const fs::path folder = dicomDir / "siemens_realtime_export";
    if (!fs::exists(folder)) GTEST_SKIP() << "shared data missing: " << folder;
    if (!fs::exists("/usr/bin/dcm2niix")) GTEST_SKIP() << "/usr/bin/dcm2niix missing (Debian package dcm2niix)";
    const fs::path out = scratchFolder("dcm2niix");
    ASSERT_TRUE(convertWithDcm2niix(folder, out)) << (out / "dcm2niix.log");
    expectSameAsReference(folder, out / "reference.nii.gz", 1.0);
    fs::remove_all(out);
}

// A volume as one multi-frame image (a frame per slice), oblique, written by
// GDCM here: read as dcm2niix converts it.
TEST(DicomVolume, MultiFrameVolumeReadsAsDebiansDcm2niixConvertsIt) {
    if (!fs::exists("/usr/bin/dcm2niix")) GTEST_SKIP() << "/usr/bin/dcm2niix missing (Debian package dcm2niix)";
    const fs::path work = scratchFolder("multiframe");
    fs::create_directories(work / "in");
    const unsigned dims[3] = {40, 30, 7};
    std::vector<int16_t> voxels(dims[0] * dims[1] * dims[2]);
    std::mt19937 random(5);
    for (int16_t& v : voxels) v = static_cast<int16_t>(random() % 3000);
    gdcm::ImageWriter writer;
    gdcm::Image& image = writer.GetImage();
    image.SetNumberOfDimensions(3);
    const double spacing[3] = {2.5, 3.0, 4.0}, origin[3] = {-50.0, 20.0, 33.0};
    for (unsigned axis = 0; axis < 3; ++axis) {
        image.SetDimension(axis, dims[axis]);
        image.SetSpacing(axis, spacing[axis]);
        image.SetOrigin(axis, origin[axis]);
    }
    const double a = 0.3, tilt = 0.9;
    const double cosines[6] = {std::cos(a),         std::sin(a),        0.0,
                               -std::sin(a) * tilt, std::cos(a) * tilt, std::sqrt(1.0 - tilt * tilt)};
    image.SetDirectionCosines(cosines);
    image.SetPixelFormat(gdcm::PixelFormat::INT16);
    image.SetPhotometricInterpretation(gdcm::PhotometricInterpretation::MONOCHROME2);
    gdcm::DataElement pixels(gdcm::Tag(0x7fe0, 0x0010));
    pixels.SetByteValue(reinterpret_cast<const char*>(voxels.data()), static_cast<uint32_t>(voxels.size() * 2));
    image.SetDataElement(pixels);
    gdcm::DataSet& ds = writer.GetFile().GetDataSet();
    const gdcm::Attribute<0x0008, 0x0016> mrImage{"1.2.840.10008.5.1.4.1.1.4"};
    const gdcm::Attribute<0x0008, 0x0060> modality{"MR"};
    const gdcm::Attribute<0x0018, 0x0080> tr{1500.0};
    for (const gdcm::DataElement& e : {mrImage.GetAsDataElement(), modality.GetAsDataElement(), tr.GetAsDataElement()})
        ds.Replace(e);
    writer.SetFileName((work / "in" / "volume.dcm").string().c_str());
    ASSERT_TRUE(writer.Write());
    ASSERT_TRUE(convertWithDcm2niix(work / "in", work / "out")) << (work / "out" / "dcm2niix.log");
    expectSameAsReference(work / "in", work / "out" / "reference.nii.gz", 1.5);
    fs::remove_all(work);
}

// A file cut anywhere, header or pixel data, is refused, and never ends the
// process reading it: the watcher must neither take a half-written volume
// nor fall over one. Cut early, it is tried apart (GDCM aborts on some);
// cut in its last kilobytes, it is read directly.
TEST(DicomVolume, FileCutShortIsRefused) {
    const fs::path whole = dicomDir / "siemens_realtime_export" / "001_000013_000001.dcm";
    if (!fs::exists(whole)) GTEST_SKIP() << "shared data missing: " << whole;
    std::random_device random;
    const fs::path cut = fs::temp_directory_path() / ("korvanth_cut_" + std::to_string(random() % 100000000u) + ".dcm");
    const auto size = fs::file_size(whole);
    std::string error;
    fs::copy_file(whole, cut, fs::copy_options::overwrite_existing);
    EXPECT_TRUE(korvanth::dicomReadsInFull(cut.string(), error)) << error;
    for (const uintmax_t keep : {uintmax_t{0}, uintmax_t{200}, uintmax_t{3000}, size / 3, size - 1000, size - 1}) {
        fs::copy_file(whole, cut, fs::copy_options::overwrite_existing);
        fs::resize_file(cut, keep);
        error.clear();
        EXPECT_FALSE(korvanth::dicomReadsInFull(cut.string(), error)) << "cut to " << keep << " bytes";
        EXPECT_NE(error.find(cut.string()), std::string::npos) << error;
        if (keep + 1024 >= size) {
            korvanth::DicomVolume volume;
            EXPECT_FALSE(korvanth::readDicomVolume(cut.string(), volume, error)) << "cut to " << keep << " bytes";
        }
    }
    fs::remove(cut);
}

}  // namespace
