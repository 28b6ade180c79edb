#include "platform/LocalTime.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

TEST(LocalTimeTest, FormatsLogStampInLocalZone)
{
    const char* pszOld = std::getenv("TZ");
    const std::string strOld = pszOld ? pszOld : "";
    setenv("TZ", "UTC-8", 1);  // eight hours east of UTC, as a Beijing clock
    tzset();
    EXPECT_EQ(quarvex::FormatLocalTime("%Y-%m-%d %H:%M:%S", 1146441723), "2006-05-01 08:02:03");
    if (pszOld)
        setenv("TZ", strOld.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

TEST(LocalTimeTest, OverlongResultIsEmptyNotTruncated)
{
    std::string strFormat(300, 'x');
    EXPECT_EQ(quarvex::FormatLocalTime(strFormat.c_str(), 0), "");
    EXPECT_EQ(quarvex::FormatLocalTimeNow("%Y").size(), 4u);
}
