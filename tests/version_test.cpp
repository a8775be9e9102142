// The loaded library reports the version its header announces, and the
// string is the three numbers the header defines.
#include <string>

#include "zt_test.h"

TEST(Version, LibraryMatchesHeader)
{
    EXPECT_STREQ(ztmime_version(), ZTMIME_VERSION_STRING);
    EXPECT_EQ(std::string(ZTMIME_VERSION_STRING), std::to_string(ZTMIME_VERSION_MAJOR) + "." +
                                                      std::to_string(ZTMIME_VERSION_MINOR) + "." +
                                                      std::to_string(ZTMIME_VERSION_PATCH));
}
