// MarkupFileTest.cpp - loading and saving files: what cannot be read leaves
// the document alone, what cannot be written leaves the file alone.
#include "markup/MarkupDoc.h"

#include "TempDir.h"

#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>

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
