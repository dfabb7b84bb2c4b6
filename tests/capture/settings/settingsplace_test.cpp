#include "capture/settings/settingsplace.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "base/fileutil.h"
#include "support/childprocess.h"

namespace tessaly {
namespace {

struct PlaceCase {
  const char* name;
  Text exe_dir;
  bool ini_beside;
  Text xdg, home;
  bool pictures;
  Text ini, dir;
};

void PrintTo(const PlaceCase& c, std::ostream* os) {
  *os << c.name;
}

class SettingsPlaceTest : public testing::TestWithParam<PlaceCase> {};

TEST_P(SettingsPlaceTest, Chooses) {
  const PlaceCase& c = GetParam();
  auto pictures = [&](const Text& dir) { return c.pictures && dir == c.home + "Pictures/"; };
  const TSettingsPlace place =
      ChooseSettingsPlace({c.exe_dir, "/usr/bin/", c.ini_beside, c.xdg, c.home, pictures});
  EXPECT_EQ(place.IniFileName, c.ini);
  EXPECT_EQ(place.DefaultDir, c.dir);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SettingsPlaceTest,
    testing::Values(PlaceCase{"BuildTree", "/src/build/app/", false, "/x/", "/home/u/", true,
                              "/src/build/app/tessaly.ini", "/src/build/app/"},
                    PlaceCase{"InstalledWithPictures", "/usr/bin/", false, "", "/home/u/", true,
                              "/home/u/.config/tessaly/tessaly.ini", "/home/u/Pictures/"},
                    PlaceCase{"InstalledXdgNoPictures", "/usr/bin/", false, "/cfg", "/home/u/",
                              false, "/cfg/tessaly/tessaly.ini", "/home/u/"},
                    PlaceCase{"IniBesideInstalled", "/usr/bin/", true, "", "/home/u/", true,
                              "/usr/bin/tessaly.ini", "/usr/bin/"},
                    PlaceCase{"NoHome", "/usr/bin/", false, "/cfg/", "", true,
                              "/usr/bin/tessaly.ini", "/usr/bin/"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SettingsDirectoryTest, MadeWithParentsForTheOwnerAlone) {
  ScratchDir scratch;
  const Text ini = scratch.File("config/tessaly/tessaly.ini");
  ASSERT_TRUE(MakeSettingsDirectory(ini));
  struct stat info {};
  ASSERT_EQ(stat(scratch.File("config/tessaly").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
}

}  // namespace
}  // namespace tessaly
