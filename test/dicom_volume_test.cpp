// The DICOM volume reader against dcm2niix, the reference converter: the
// shared Siemens mosaic series against its shipped conversion, and the shared
// real-time export against a conversion made here by Debian's dcm2niix.
// Identical voxel values, every voxel placed within 0.01 mm, the same TR.
#include <gtest/gtest.h>

#include "korvanth/sources/dicom/dicom_file.h"
#include "korvanth/sources/dicom/dicom_series.h"
#include "korvanth/sources/dicom/dicom_volume.h"
#include "korvanth/sources/nifti_series.h"
#include "korvanth/sources/watch/watch_folder.h"

#include <gdcmAttribute.h>
#include <gdcmImage.h>
#include <gdcmImageWriter.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
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

// Every shared series replayed from its DICOM files (--bold <folder>) gives
// what Debian's dcm2niix gives: the same volumes in the same order, voxel
// for voxel, the 8 corners within 0.05 mm (sform and qform), the same TR.
// Sagittal, coronal-oblique, oblique, foot-to-head and head-to-foot series,
// a file per volume, per slice, per series; a compressed transfer syntax.
TEST(DicomVolume, EverySharedSeriesReplaysAsDebiansDcm2niixConvertsIt) {
    if (!fs::exists("/usr/bin/dcm2niix")) GTEST_SKIP() << "/usr/bin/dcm2niix missing (Debian package dcm2niix)";
    if (!fs::exists(dicomDir / "vendors")) GTEST_SKIP() << "shared data missing: " << dicomDir / "vendors";
    struct Case {
        const char* folder;
        double trSeconds;  // < 0: dcm2niix's
        double slope;      // the rescale slope, kept beside the stored values (dcm2niix writes Philips' own)
        bool withoutSliceCount = false;  // images in acquisition (0020,1002) renamed away in a copy
    };
    // Philips enhanced ASL: dcm2niix replaces the recorded TR (4.25 s) by the
    // time a whole label/control volume pair takes; the recorded one is kept.
    const Case cases[] = {{"siemens_mosaic_ep2d", -1, 1},
                          {"siemens_realtime_export", -1, 1},
                          {"vendors/siemens_mosaic_sagittal", -1, 1},
                          {"vendors/siemens_mosaic_head_to_foot", -1, 1},
                          {"vendors/siemens_xa30_interop_bold", -1, 1},
                          {"vendors/siemens_mosaic_jpeg_lossless", -1, 1},
                          {"vendors/ge_epirt_slices", -1, 1},
                          {"vendors/ge_epirt_slices", -1, 1, true},
                          {"vendors/philips_classic_fmri_oblique", -1, 1.29035409035409},
                          {"vendors/philips_enhanced_series", 4.25, 1.33870573870573},
                          {"vendors/canon_enhanced_series", -1, 1},
                          {"vendors/uih_vframe", -1, 1}};
    for (const Case& c : cases) {
        fs::path folder = dicomDir / c.folder;
        SCOPED_TRACE(folder.string() + (c.withoutSliceCount ? " without its slice count" : ""));
        if (!fs::exists(folder)) {
            std::cout << "shared data missing, skipped: " << folder << "\n";
            continue;
        }
        const fs::path out = scratchFolder("dcm2niix");
        if (c.withoutSliceCount) {
            fs::create_directories(out / "in");
            for (const auto& entry : fs::directory_iterator(folder)) {
                std::ifstream in(entry.path(), std::ios::binary);
                std::string bytes((std::istreambuf_iterator<char>(in)), {});
                const std::size_t at = bytes.find(std::string("\x20\x00\x02\x10IS", 6));
                ASSERT_NE(at, std::string::npos) << entry.path();
                bytes[at + 2] = 0x03;  // (0020,1003): no element this reader knows
                std::ofstream(out / "in" / entry.path().filename(), std::ios::binary) << bytes;
            }
            folder = out / "in";
        }
        ASSERT_TRUE(convertWithDcm2niix(folder, out / "out")) << (out / "out" / "dcm2niix.log");
        korvanth::NiftiSeries expected;
        std::string error;
        korvanth::NiftiVolume single;
        if (korvanth::readNiftiVolume((out / "out" / "reference.nii.gz").string(), single, error)) {
            expected.info = single.info;
            expected.volumes.push_back(single.voxels);
        } else {
            error.clear();
            ASSERT_TRUE(korvanth::readNiftiSeries((out / "out" / "reference.nii.gz").string(), expected, error))
                << error;
        }
        korvanth::DicomSeriesSource source(folder.string());
        SeriesInfo got;
        ASSERT_TRUE(source.open(got, error)) << error;
        for (const std::string& warning : source.warnings()) ADD_FAILURE() << warning;
        ASSERT_EQ(std::vector<int32_t>(got.dims, got.dims + 3),
                  std::vector<int32_t>(expected.info.dims, expected.info.dims + 3));
        ASSERT_EQ(got.expectedVolumes, static_cast<int32_t>(expected.volumes.size()));
        for (std::size_t t = 0; t < expected.volumes.size(); ++t) {
            std::vector<int16_t> volume;
            ASSERT_EQ(source.next(volume, error), korvanth::VolumeSource::Next::Volume) << error;
            EXPECT_TRUE(volume == expected.volumes[t]) << "volume " << t << ": voxel values differ from dcm2niix's";
        }
        EXPECT_TRUE(source.repetitionTimeRecorded());
        EXPECT_NEAR(got.valueSlope, c.slope, 1e-9);
        EXPECT_EQ(got.valueIntercept, 0.0);
        EXPECT_NEAR(got.repetitionTimeSeconds, c.trSeconds > 0 ? c.trSeconds : expected.info.repetitionTimeSeconds,
                    1e-3);
        for (int corner = 0; corner < 8; ++corner) {
            const double i = (corner & 1) ? got.dims[0] - 1 : 0;
            const double j = (corner & 2) ? got.dims[1] - 1 : 0;
            const double k = (corner & 4) ? got.dims[2] - 1 : 0;
            const auto want = world(expected.info, i, j, k);
            SeriesInfo byQform = got;
            byQform.geometry.sformCode = 0;
            for (const SeriesInfo* form : {&got, &byQform}) {
                const auto have = world(*form, i, j, k);
                for (std::size_t a = 0; a < 3; ++a)
                    EXPECT_NEAR(have[a], want[a], 0.05)
                        << "corner " << corner << (form == &got ? " (sform)" : " (qform)");
            }
        }
        fs::remove_all(out);
    }
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

// Damaged files are refused with their true cause and never end the
// process that asked: cut anywhere (header or pixel data), BitsAllocated 12,
// a changed count in the Siemens CSA header, a pixel-data length near 4 GB
// (refused before anything that size is allocated).
TEST(DicomVolume, DamagedFilesAreRefusedWithTheirCause) {
    const fs::path whole = dicomDir / "siemens_realtime_export" / "001_000013_000001.dcm";
    if (!fs::exists(whole)) GTEST_SKIP() << "shared data missing: " << whole;
    const fs::path bad = scratchFolder("damaged").string() + ".dcm";
    std::string bytes;
    {
        std::ifstream in(whole, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), {});
    }
    auto write = [&](const std::string& content) { std::ofstream(bad, std::ios::binary | std::ios::trunc) << content; };
    auto refused = [&](const std::string& what, const std::string& because) {
        korvanth::DicomFile file;
        std::string error;
        EXPECT_FALSE(korvanth::readDicomFile(bad.string(), file, error)) << what;
        EXPECT_NE(error.find(bad.string()), std::string::npos) << what << ": " << error;
        EXPECT_NE(error.find(because), std::string::npos) << what << ": " << error;
    };
    write(bytes);
    korvanth::DicomFile file;
    std::string error;
    ASSERT_TRUE(korvanth::readDicomFile(bad.string(), file, error)) << error;
    for (const std::size_t keep :
         {std::size_t{0}, std::size_t{200}, std::size_t{3000}, bytes.size() / 3, bytes.size() - 1000, bytes.size() - 1})
        write(bytes.substr(0, keep)), refused("cut to " + std::to_string(keep) + " bytes", "");
    // The element headers are found by their tags (explicit VR little endian).
    auto at = [&](const char* tagAndVr) {
        const std::size_t found = bytes.find(std::string(tagAndVr, 6));
        EXPECT_NE(found, std::string::npos);
        return found;
    };
    std::string changed = bytes;
    changed[at("\x28\x00\x00\x01US") + 8] = 12;  // BitsAllocated
    write(changed), refused("BitsAllocated 12", "BitsAllocated 12");
    changed = bytes;
    const std::size_t pixelLength = at("\xe0\x7f\x10\x00OW") + 8;
    changed.replace(pixelLength, 4, std::string("\xf0\xff\xff\xff", 4));
    write(changed), refused("a pixel-data length near 4 GB", "pixel data of 4294967280 bytes declared");
    changed = bytes;
    const std::size_t count = changed.find("NumberOfImagesInMosaic");
    ASSERT_NE(count, std::string::npos);
    changed[count + 64 + 4] = '\x7f';  // the element's VM, then its item count
    changed[count + 64 + 12] = '\x7f';
    write(changed);
    korvanth::DicomFile csa;
    if (!korvanth::readDicomFile(bad.string(), csa, error)) {
        EXPECT_NE(error.find(bad.string()), std::string::npos) << error;
    }
    fs::remove(bad);
}

}  // namespace
