// Media types of attached files by extension.
#include <gtest/gtest.h>

#include "mime/AttachmentType.h"

using namespace varnel;

TEST(AttachmentTypeTest, ExtensionsFromTheTable) {
  const std::pair<const char*, const char*> cases[] = {
      {"load.txt", "text/plain"},
      {"server.LOG", "text/plain"},
      {"rows.csv", "text/csv"},
      {"report.html", "text/html"},
      {"report.htm", "text/html"},
      {"feed.xml", "text/xml"},
      {"data.json", "application/json"},
      {"invoice.pdf", "application/pdf"},
      {"chart.png", "image/png"},
      {"photo.JPG", "image/jpeg"},
      {"photo.jpeg", "image/jpeg"},
      {"anim.gif", "image/gif"},
      {"backup.zip", "application/zip"},
      {"dump.sql.gz", "application/gzip"},
      {"sheet.xlsx", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"},
      {"letter.docx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document"},
      {"noextension", "application/octet-stream"},
      {"trailingdot.", "application/octet-stream"},
      {"archive.bin", "application/octet-stream"},
      {"select * from t", "application/octet-stream"},
      {".txt", "text/plain"},
  };
  for (const auto& [name, type] : cases) EXPECT_EQ(AttachmentType(name), type) << name;
}

TEST(AttachmentTypeTest, OnlyTextTypesAreText) {
  EXPECT_TRUE(IsTextType("text/plain"));
  EXPECT_TRUE(IsTextType("text/csv"));
  EXPECT_FALSE(IsTextType("application/json"));
  EXPECT_FALSE(IsTextType("image/png"));
  EXPECT_FALSE(IsTextType("tex"));
}
