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
#include <gdcmImageChangeTransferSyntax.h>
#include <gdcmImageReader.h>
#include <gdcmImageWriter.h>
#include <gdcmReader.h>
#include <gdcmWriter.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
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

// Reads dcm2niix's conversion of `folder` (made into `out`): one volume or a series.
void readReference(const fs::path& folder, const fs::path& out, korvanth::NiftiSeries& expected) {
    ASSERT_TRUE(convertWithDcm2niix(folder, out)) << (out / "dcm2niix.log");
    std::string error;
    korvanth::NiftiVolume single;
    if (korvanth::readNiftiVolume((out / "reference.nii.gz").string(), single, error)) {
        expected.info = single.info;
        expected.volumes.push_back(single.voxels);
        return;
    }
    error.clear();
    ASSERT_TRUE(korvanth::readNiftiSeries((out / "reference.nii.gz").string(), expected, error)) << error;
}

// `got`'s grid and 8 corners (by sform and qform alike) against `expected`'s.
void expectSamePlace(const SeriesInfo& got, const SeriesInfo& expected, double tolerance) {
    ASSERT_EQ(std::vector<int32_t>(got.dims, got.dims + 3), std::vector<int32_t>(expected.dims, expected.dims + 3));
    for (int corner = 0; corner < 8; ++corner) {
        const double i = (corner & 1) ? got.dims[0] - 1 : 0;
        const double j = (corner & 2) ? got.dims[1] - 1 : 0;
        const double k = (corner & 4) ? got.dims[2] - 1 : 0;
        const auto want = world(expected, i, j, k);
        SeriesInfo byQform = got;
        byQform.geometry.sformCode = 0;
        for (const SeriesInfo* form : {&got, static_cast<const SeriesInfo*>(&byQform)}) {
            const auto have = world(*form, i, j, k);
            for (std::size_t a = 0; a < 3; ++a)
                EXPECT_NEAR(have[a], want[a], tolerance)
                    << "corner " << corner << (form == &got ? " (sform)" : " (qform)");
        }
    }
}

// Every file of `folder` read as one volume equals the matching volume of
// dcm2niix's conversion of the folder voxel for voxel, with every corner
// voxel placed within 0.01 mm, by sform and qform alike.
void expectEachFileAsDcm2niix(const fs::path& folder, const fs::path& out, double trSeconds) {
    korvanth::NiftiSeries expected;
    readReference(folder, out, expected);
    const std::vector<fs::path> files = volumeFiles(folder);
    ASSERT_EQ(files.size(), expected.volumes.size());
    for (std::size_t t = 0; t < files.size(); ++t) {
        SCOPED_TRACE(files[t].string());
        korvanth::DicomVolume volume;
        std::string error;
        ASSERT_TRUE(korvanth::readDicomVolume(files[t].string(), volume, error)) << error;
        EXPECT_TRUE(volume.voxels == expected.volumes[t]) << "voxel values differ from dcm2niix's";
        EXPECT_EQ(volume.clamped, 0);
        EXPECT_TRUE(volume.repetitionTimeRecorded);
        EXPECT_NEAR(volume.info.repetitionTimeSeconds, trSeconds, 1e-9);
        for (int axis = 0; axis < 3; ++axis)
            EXPECT_NEAR(volume.info.voxelSizeMm[axis], expected.info.voxelSizeMm[axis], 1e-4) << "axis " << axis;
        expectSamePlace(volume.info, expected.info, 0.01);
    }
}

// The volumes of `folder` as a replay (--bold) assembles them, and as a live
// run takes them from a folder holding the files already.
struct Assembled {
    SeriesInfo info;
    std::vector<std::vector<int16_t>> volumes;
    std::vector<std::string> notes;  // warnings of the replay, files the live run ignored and its warnings
    bool repetitionTimeRecorded = false;
};
void replayed(const fs::path& folder, Assembled& got) {
    korvanth::DicomSeriesSource source(folder.string());
    std::string error;
    ASSERT_TRUE(source.open(got.info, error)) << error;
    got.notes = source.warnings();
    got.repetitionTimeRecorded = source.repetitionTimeRecorded();
    for (std::vector<int16_t> volume; source.next(volume, error) == korvanth::VolumeSource::Next::Volume;)
        got.volumes.push_back(std::move(volume));
}
void takenLive(const fs::path& folder, Assembled& got) {
    korvanth::WatchSettings settings;
    settings.folder = folder.string();
    settings.includeExisting = true;
    settings.idleTimeoutSeconds = 1.0;
    settings.log = [&](const std::string& line) {
        if (line.rfind("ignoring", 0) == 0 || line.rfind("warning", 0) == 0) got.notes.push_back(line);
    };
    korvanth::WatchFolderSource source(settings);
    std::string error;
    ASSERT_TRUE(source.open(got.info, error)) << error;
    got.repetitionTimeRecorded = source.repetitionTimeRecorded();
    std::vector<int16_t> volume;
    for (korvanth::VolumeSource::Next next;
         (next = source.next(volume, error)) != korvanth::VolumeSource::Next::EndOfRun;) {
        ASSERT_EQ(next, korvanth::VolumeSource::Next::Volume) << error;
        got.volumes.push_back(volume);
    }
}

// `got` is what Debian's dcm2niix makes of the same files: the same volumes
// in the same order, voxel for voxel, the 8 corners within 0.05 mm, the same
// TR (or `trSeconds` where given), nothing skipped or noted.
void expectAsDcm2niix(const Assembled& got, const korvanth::NiftiSeries& expected, double trSeconds) {
    for (const std::string& note : got.notes) ADD_FAILURE() << note;
    ASSERT_EQ(got.volumes.size(), expected.volumes.size());
    for (std::size_t t = 0; t < expected.volumes.size(); ++t)
        EXPECT_TRUE(got.volumes[t] == expected.volumes[t]) << "volume " << t << ": voxel values differ from dcm2niix's";
    expectSamePlace(got.info, expected.info, 0.05);
    EXPECT_TRUE(got.repetitionTimeRecorded);
    EXPECT_NEAR(got.info.repetitionTimeSeconds, trSeconds > 0 ? trSeconds : expected.info.repetitionTimeSeconds, 1e-3);
}

// How a shared series is copied before it is read: as it is, without the
// elements that record its slice count (images and GE's locations in
// acquisition renamed away), or rewritten in explicit VR big endian.
enum class Copy { AsShared, WithoutSliceCount, BigEndian };
void writeCopy(const fs::path& from, const fs::path& to, Copy copy) {
    fs::create_directories(to);
    for (const auto& entry : fs::directory_iterator(from)) {
        const fs::path target = to / entry.path().filename();
        if (copy == Copy::BigEndian) {
            gdcm::ImageReader reader;
            reader.SetFileName(entry.path().string().c_str());
            ASSERT_TRUE(reader.Read()) << entry.path();
            gdcm::ImageChangeTransferSyntax change;
            change.SetTransferSyntax(gdcm::TransferSyntax::ExplicitVRBigEndian);
            change.SetInput(reader.GetImage());
            ASSERT_TRUE(change.Change()) << entry.path();
            gdcm::File& file = reader.GetFile();
            file.GetDataSet().Replace(change.GetOutput().GetDataElement());
            file.GetHeader().SetDataSetTransferSyntax(gdcm::TransferSyntax::ExplicitVRBigEndian);
            gdcm::Writer writer;
            writer.SetFile(file);
            writer.SetFileName(target.string().c_str());
            ASSERT_TRUE(writer.Write()) << target;
            continue;
        }
        std::ifstream in(entry.path(), std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), {});
        for (const char* element : {"\x20\x00\x02\x10IS", "\x21\x00\x4f\x10SS"}) {
            const std::size_t at = bytes.find(std::string(element, 6));
            ASSERT_NE(at, std::string::npos) << entry.path();
            bytes[at + 2] = 0x03;  // (0020,1003), (0021,1003): no element this reader knows
        }
        std::ofstream(target, std::ios::binary) << bytes;
    }
}

// Every shared series replayed from its DICOM files (--bold <folder>) gives
// what Debian's dcm2niix gives (expectAsDcm2niix): sagittal, coronal-oblique,
// oblique, foot-to-head and head-to-foot series, a file per volume, per slice,
// per series; a compressed and the big-endian transfer syntax; GE multiphase
// (its images in acquisition count every phase's), Canon's one acquisition
// number for the whole series. The rescale slope is kept beside the values.
TEST(DicomVolume, EverySharedSeriesReplaysAsDebiansDcm2niixConvertsIt) {
    if (!fs::exists("/usr/bin/dcm2niix")) GTEST_SKIP() << "/usr/bin/dcm2niix missing (Debian package dcm2niix)";
    if (!fs::exists(dicomDir / "vendors")) GTEST_SKIP() << "shared data missing: " << dicomDir / "vendors";
    struct Case {
        const char* folder;
        double trSeconds;  // < 0: dcm2niix's
        double slope;      // the rescale slope, kept beside the stored values (not Philips' floating-point scale)
        Copy copy = Copy::AsShared;
    };
    // Philips enhanced ASL: dcm2niix replaces the recorded TR (4.25 s) by the
    // time a whole label/control volume pair takes; the recorded one is kept.
    const Case cases[] = {{"siemens_mosaic_ep2d", -1, 1},
                          {"siemens_mosaic_ep2d", -1, 1, Copy::BigEndian},
                          {"siemens_realtime_export", -1, 1},
                          {"vendors/siemens_mosaic_sagittal", -1, 1},
                          {"vendors/siemens_mosaic_head_to_foot", -1, 1},
                          {"vendors/siemens_xa30_interop_bold", -1, 1},
                          {"vendors/siemens_mosaic_jpeg_lossless", -1, 1},
                          {"vendors/ge_epirt_slices", -1, 1},
                          {"vendors/ge_epirt_slices", -1, 1, Copy::WithoutSliceCount},
                          {"vendors/ge_multiphase_slices", -1, 1},
                          {"vendors/philips_classic_fmri_oblique", -1, 1.29035409035409},
                          {"vendors/philips_classic_fmri_oblique", -1, 1.29035409035409, Copy::BigEndian},
                          {"vendors/philips_enhanced_series", 4.25, 1.33870573870573},
                          {"vendors/canon_enhanced_series", -1, 1},
                          {"vendors/canon_classic_slices", -1, 1},
                          {"vendors/uih_vframe", -1, 1}};
    for (const Case& c : cases) {
        fs::path folder = dicomDir / c.folder;
        SCOPED_TRACE(folder.string() + (c.copy == Copy::WithoutSliceCount ? " without its slice count"
                                        : c.copy == Copy::BigEndian       ? " in big-endian"
                                                                          : ""));
        if (!fs::exists(folder)) {
            std::cout << "shared data missing, skipped: " << folder << "\n";
            continue;
        }
        const fs::path out = scratchFolder("dcm2niix");
        if (c.copy != Copy::AsShared) {
            writeCopy(folder, out / "in", c.copy);
            folder = out / "in";
        }
        korvanth::NiftiSeries expected;
        readReference(folder, out / "out", expected);
        Assembled replay;
        replayed(folder, replay);
        expectAsDcm2niix(replay, expected, c.trSeconds);
        EXPECT_NEAR(replay.info.valueSlope, c.slope, 1e-9);
        EXPECT_EQ(replay.info.valueIntercept, 0.0);
        fs::remove_all(out);
    }
}

// A rotation of patient space, row by row.
using Turn = std::array<std::array<double, 3>, 3>;
Turn turnAbout(int axis, double degrees) {
    const double c = std::cos(degrees * M_PI / 180.0), s = std::sin(degrees * M_PI / 180.0);
    const int a = (axis + 1) % 3, b = (axis + 2) % 3;
    Turn t{};
    t[static_cast<std::size_t>(axis)][static_cast<std::size_t>(axis)] = 1.0;
    t[static_cast<std::size_t>(a)][static_cast<std::size_t>(a)] = c;
    t[static_cast<std::size_t>(a)][static_cast<std::size_t>(b)] = -s;
    t[static_cast<std::size_t>(b)][static_cast<std::size_t>(a)] = s;
    t[static_cast<std::size_t>(b)][static_cast<std::size_t>(b)] = c;
    return t;
}
Turn operator*(const Turn& x, const Turn& y) {
    Turn t{};
    for (std::size_t r = 0; r < 3; ++r)
        for (std::size_t c = 0; c < 3; ++c)
            for (std::size_t k = 0; k < 3; ++k) t[r][c] += x[r][k] * y[k][c];
    return t;
}

// Writes the slice files of `from` into `to` turned by `turn` about the
// origin: every slice's orientation and position turned alike, the same
// images seen in another orientation. `bySlice` gets them too (hard links),
// named so that their names' order is slice by slice, each slice's volumes
// after each other.
void writeTurned(const fs::path& from, const fs::path& to, const fs::path& bySlice, const Turn& turn) {
    fs::create_directories(to);
    fs::create_directories(bySlice);
    for (const auto& entry : fs::directory_iterator(from)) {
        gdcm::Reader reader;
        reader.SetFileName(entry.path().string().c_str());
        ASSERT_TRUE(reader.Read()) << entry.path();
        gdcm::DataSet& ds = reader.GetFile().GetDataSet();
        gdcm::Attribute<0x0020, 0x0032> position;
        gdcm::Attribute<0x0020, 0x0037> orientation;
        position.SetFromDataSet(ds);
        orientation.SetFromDataSet(ds);
        const auto turned = [&](auto& attribute, unsigned first) {
            double v[3];
            for (unsigned i = 0; i < 3; ++i) v[i] = attribute.GetValue(first + i);
            for (unsigned r = 0; r < 3; ++r)
                attribute.SetValue(turn[r][0] * v[0] + turn[r][1] * v[1] + turn[r][2] * v[2], first + r);
        };
        turned(position, 0);
        turned(orientation, 0);
        turned(orientation, 3);
        ds.Replace(position.GetAsDataElement());
        ds.Replace(orientation.GetAsDataElement());
        gdcm::Writer writer;
        writer.SetFile(reader.GetFile());
        writer.SetFileName((to / entry.path().filename()).string().c_str());
        ASSERT_TRUE(writer.Write()) << to / entry.path().filename();
        const double normal[3] = {orientation[1] * orientation[5] - orientation[2] * orientation[4],
                                  orientation[2] * orientation[3] - orientation[0] * orientation[5],
                                  orientation[0] * orientation[4] - orientation[1] * orientation[3]};
        char along[32];
        std::snprintf(along, sizeof along, "%010.3f_",
                      1e5 + normal[0] * position[0] + normal[1] * position[1] + normal[2] * position[2]);
        fs::create_hard_link(to / entry.path().filename(), bySlice / (along + entry.path().filename().string()));
    }
}

// Series of a file per slice of every vendor turned sagittal, coronal and
// oblique (written here with GDCM): replayed from files named slice by slice,
// and taken by a live run from a folder that holds them named as the scanner
// wrote them, as Debian's dcm2niix converts the same files.
TEST(DicomVolume, SliceFilesInEveryOrientationAssembleAsDebiansDcm2niixConvertsThem) {
    if (!fs::exists("/usr/bin/dcm2niix")) GTEST_SKIP() << "/usr/bin/dcm2niix missing (Debian package dcm2niix)";
    const std::pair<const char*, Turn> turns[] = {
        {"sagittal", turnAbout(1, 90.0)},
        {"coronal", turnAbout(0, -90.0)},
        {"oblique", turnAbout(2, 20.0) * turnAbout(0, -30.0) * turnAbout(1, 15.0)}};
    for (const char* series : {"ge_epirt_slices", "ge_multiphase_slices", "siemens_xa30_interop_bold",
                               "philips_classic_fmri_oblique", "canon_classic_slices"}) {
        const fs::path from = dicomDir / "vendors" / series;
        if (!fs::exists(from)) {
            std::cout << "shared data missing, skipped: " << from << "\n";
            continue;
        }
        for (const auto& [name, turn] : turns) {
            SCOPED_TRACE(std::string(series) + " turned " + name);
            const fs::path work = scratchFolder("turned");
            writeTurned(from, work / "in", work / "by_slice", turn);
            korvanth::NiftiSeries expected;
            readReference(work / "in", work / "out", expected);
            Assembled replay, live;
            replayed(work / "by_slice", replay);
            expectAsDcm2niix(replay, expected, -1);
            takenLive(work / "in", live);
            expectAsDcm2niix(live, expected, -1);
            fs::remove_all(work);
        }
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
    expectEachFileAsDcm2niix(work / "in", work / "out", 1.5);
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
