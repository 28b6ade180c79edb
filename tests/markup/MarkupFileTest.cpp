// MarkupFileTest.cpp - loading and saving files: what cannot be read leaves
// the document alone, what cannot be written leaves the file alone.
#include "markup/MarkupDoc.h"

#include "TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using quarvex::CMarkupDoc;

namespace {

std::string Format(const CMarkupDoc& doc)
{
    std::string strOut;
    doc.SaveToString(strOut);
    return strOut;
}

} // namespace

TEST(MarkupFileTest, SavedFileLoadsBackByteForByte)
{
    CTempDir dir;
    ASSERT_TRUE(dir.IsValid());
    const char szText[] = "\r\n<general>\r\n\t<saveusername>1</saveusername>\r\n\t"
                          "<savepassword>0</savepassword>\r\n</general>";
    CMarkupDoc doc;
    doc.Parse(szText);
    const std::string strPath = dir.File("Config.dat");
    ASSERT_TRUE(doc.SaveFile(strPath.c_str()));
    EXPECT_EQ(CTempDir::Read(strPath), szText);

    CMarkupDoc back;
    ASSERT_TRUE(back.LoadFile(strPath.c_str()));
    EXPECT_EQ(Format(back), szText);
}

TEST(MarkupFileTest, UnreadableSourcesLeaveTheDocumentUnchanged)
{
    CTempDir dir;
    ASSERT_TRUE(dir.IsValid());
    const std::string strFifo = dir.File("fifo");
    ASSERT_EQ(mkfifo(strFifo.c_str(), 0600), 0);
    const std::string apszPaths[] = {
        dir.File("missing.dat"),
        dir.Dir(),         // a directory opens, but is not a file
        strFifo,           // must neither block nor be read
        "/dev/null",
    };
    for (const std::string& strPath : apszPaths) {
        CMarkupDoc doc;
        doc.Parse("<kept>1</kept>");
        EXPECT_FALSE(doc.LoadFile(strPath.c_str())) << strPath;
        EXPECT_EQ(Format(doc), "\r\n<kept>1</kept>") << strPath;
    }
    CMarkupDoc doc;
    doc.Parse("<kept>1</kept>");
    EXPECT_FALSE(doc.LoadFile(nullptr));
    EXPECT_FALSE(doc.IsEmpty());
}

TEST(MarkupFileTest, EmptyFileEmptiesTheDocument)
{
    CTempDir dir;
    ASSERT_TRUE(dir.IsValid());
    CMarkupDoc doc;
    doc.Parse("<old>1</old>");
    EXPECT_TRUE(doc.LoadFile(dir.Write("empty.dat", "").c_str()));
    EXPECT_TRUE(doc.IsEmpty());
}

TEST(MarkupFileTest, ZeroByteEndsTheText)
{
    CTempDir dir;
    ASSERT_TRUE(dir.IsValid());
    const std::string strPath = dir.Write("nul.dat", std::string("<a>x\0y</a><b>z</b>", 19));
    CMarkupDoc doc;
    ASSERT_TRUE(doc.LoadFile(strPath.c_str()));
    EXPECT_EQ(Format(doc), "\r\n<a>x</a>");
}

TEST(MarkupFileTest, FailedSaveLeavesTheFileAlone)
{
    CTempDir dir;
    ASSERT_TRUE(dir.IsValid());
    const std::string strPath = dir.Write("task.dat", "previous");
    CMarkupDoc empty;
    EXPECT_FALSE(empty.SaveFile(strPath.c_str()));
    EXPECT_EQ(CTempDir::Read(strPath), "previous");

    CMarkupDoc doc;
    doc.Parse("<a>1</a>");
    EXPECT_FALSE(doc.SaveFile(dir.Dir().c_str()));
    EXPECT_FALSE(doc.SaveFile(dir.File("no/such/dir.dat").c_str()));
    EXPECT_FALSE(doc.SaveFile(nullptr));
}

namespace {

// A settings document whose text is about nBytes long.
CMarkupDoc LargeDocument(size_t nBytes)
{
    CMarkupDoc doc;
    doc.Parse(("<general><note>" + std::string(nBytes, 'x') + "</note></general>").c_str());
    return doc;
}

// The names in a folder, sorted.
std::vector<std::string> ListFolder(const std::string& strDir)
{
    std::vector<std::string> aNames;
    for (const auto& entry : std::filesystem::directory_iterator(strDir))
        aNames.push_back(entry.path().filename().string());
    std::sort(aNames.begin(), aNames.end());
    return aNames;
}

const char s_szOldSettings[] = "\r\n<general>\r\n\t<saveusername>1</saveusername>\r\n</general>";

// Says how much of the new text replaced the old one rather than print it.
void ExpectOldSettings(const std::string& strPath)
{
    const std::string strNow = CTempDir::Read(strPath);
    EXPECT_TRUE(strNow == s_szOldSettings) << "the old settings became " << strNow.size() << " bytes of the new text";
}

} // namespace

// On a small file system filled to its last block, a save that does not fit
// fails and the old settings stay whole; once there is room it succeeds.
TEST(MarkupFileTest, SaveOnAFullFileSystemKeepsTheOldFile)
{
    CTempDir dir;
    ASSERT_TRUE(dir.IsValid());
    const std::string strMount = dir.File("small");
    ASSERT_EQ(::mkdir(strMount.c_str(), 0700), 0);
    if (::mount("tmpfs", strMount.c_str(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here (" << std::strerror(errno)
                     << "); WriteFailureKeepsTheOldFile covers the same rule";
    struct CUnmount {
        std::string m_strPath;
        ~CUnmount() { ::umount2(m_strPath.c_str(), MNT_DETACH); }
    } unmount{strMount};

    const std::string strPath = strMount + "/Config.dat";
    CMarkupDoc old;
    old.Parse(s_szOldSettings);
    ASSERT_TRUE(old.SaveFile(strPath.c_str()));
    {
        std::ofstream filler(strMount + "/filler", std::ios::binary);
        const std::string strBlock(4096, 'f');
        for (int i = 0; i < 64 && filler.write(strBlock.data(), strBlock.size()); ++i)
            filler.flush();
    }
    const CMarkupDoc large = LargeDocument(32 * 1024);
    EXPECT_FALSE(large.SaveFile(strPath.c_str()));
    ExpectOldSettings(strPath);
    EXPECT_EQ(ListFolder(strMount), (std::vector<std::string>{"Config.dat", "filler"}));

    ASSERT_TRUE(std::filesystem::remove(strMount + "/filler"));
    EXPECT_TRUE(large.SaveFile(strPath.c_str()));
    EXPECT_EQ(CTempDir::Read(strPath), Format(large));
}

// The same rule where no file system can be mounted: the process may write
// no more than 4 KiB into any file, so the write fails part-way.
TEST(MarkupFileTest, WriteFailureKeepsTheOldFile)
{
    CTempDir dir;
    ASSERT_TRUE(dir.IsValid());
    const std::string strPath = dir.File("Config.dat");
    CMarkupDoc old;
    old.Parse(s_szOldSettings);
    ASSERT_TRUE(old.SaveFile(strPath.c_str()));

    const CMarkupDoc large = LargeDocument(64 * 1024);
    rlimit previous{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &previous), 0);
    // Past the limit write() fails with EFBIG instead of killing the process.
    void (*pfnPrevious)(int) = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = previous;
    small.rlim_cur = 4096;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool bSaved = large.SaveFile(strPath.c_str());
    ::setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, pfnPrevious);

    EXPECT_FALSE(bSaved);
    ExpectOldSettings(strPath);
    EXPECT_EQ(ListFolder(dir.Dir()), (std::vector<std::string>{"Config.dat"}));
}

// The file is replaced, not rewritten: it keeps its permission bits (a
// private settings file stays private), and a symbolic link stays a link to
// the file that gets the new text.
TEST(MarkupFileTest, SaveKeepsModesAndFollowsLinks)
{
    CTempDir dir;
    ASSERT_TRUE(dir.IsValid());
    const std::string strPath = dir.File("Config.dat");
    CMarkupDoc doc;
    doc.Parse(s_szOldSettings);
    ASSERT_TRUE(doc.SaveFile(strPath.c_str()));
    ASSERT_EQ(::chmod(strPath.c_str(), 0600), 0);
    const CMarkupDoc large = LargeDocument(100);
    ASSERT_TRUE(large.SaveFile(strPath.c_str()));
    struct stat st {};
    ASSERT_EQ(::stat(strPath.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    const std::string strLink = dir.File("link.dat");
    ASSERT_EQ(::symlink(strPath.c_str(), strLink.c_str()), 0);
    ASSERT_TRUE(doc.SaveFile(strLink.c_str()));
    EXPECT_TRUE(std::filesystem::is_symlink(strLink));
    EXPECT_EQ(CTempDir::Read(strPath), s_szOldSettings);
    EXPECT_EQ(ListFolder(dir.Dir()), (std::vector<std::string>{"Config.dat", "link.dat"}));

    // A name as long as a name may be leaves no room for a suffix; the
    // temporary file then gets a short name of its own.
    const std::string strLong = dir.File(std::string(250, 'n') + ".dat");
    ASSERT_TRUE(doc.SaveFile(strLong.c_str()));
    ASSERT_TRUE(large.SaveFile(strLong.c_str()));
    EXPECT_EQ(CTempDir::Read(strLong), Format(large));
    EXPECT_EQ(ListFolder(dir.Dir()).size(), 3u);
}
