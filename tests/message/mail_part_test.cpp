#include "mail/message/mail_part.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>

#include "mail/message/mail_message.h"
#include "mail/mime/mime_types.h"
#include "platform/error.h"

using namespace Vizu2000;

namespace {

TMailPart* NewPart(TVeraDudurur2000& message, std::string_view text) {
  auto* part = new TMailPart(&message);
  part->SetOwnerMessage(&message);
  part->Fill(text, true);
  return part;
}

}  // namespace

TEST(MailPart, ReadsAndWritesHeaderFields) {
  TVeraDudurur2000 message(nullptr);
  message.SetSource(
      "Content-Type: text/plain; charset=\"x\"\r\nX-A: 'x\"\r\nContent-Type: text/html\r\n\r\n");
  EXPECT_EQ(message.GetLabelValue("content-type"), "text/plain");
  EXPECT_EQ(message.GetLabelValue("X-A"), "x");  // mixed quote kinds are stripped too
  EXPECT_EQ(message.GetLabelParamValue("Content-Type", "CHARSET"), "x");
  EXPECT_FALSE(message.LabelParamExists("Content-Type", "boundary"));
  EXPECT_FALSE(message.LabelExists("Content"));

  // Deleting removes only the first field; a missing field is appended.
  message.SetLabelValue("Content-Type", "");
  EXPECT_EQ(message.GetLabelValue("Content-Type"), "text/html");
  message.SetLabelParamValue("X-New", "p", "\"q\"");
  EXPECT_EQ(message.Header()[message.Header().Count() - 1], "X-New:; p=\"q\"");
}

TEST(MailPart, SourceStreamAndFile) {
  TVeraDudurur2000 message(nullptr);
  message.Body().WriteString("line1\nline2\rend");
  EXPECT_EQ(message.GetSource(), "\r\nline1\nline2\rend");

  message.Header().Add("Subject: hi");
  std::string source = message.GetSource();
  EXPECT_EQ(source, "Subject: hi\r\n\r\nline1\nline2\rend");

  TMemoryStream stream(std::string(10000, 'x'));
  message.SaveToStream(stream);
  EXPECT_EQ(stream.Data(), source);

  std::string file = ::testing::TempDir() + "part_save.eml";
  message.SaveToFile(file);
  EXPECT_EQ(ReadWholeFile(file), "Subject: hi\r\n\r\nline1\r\nline2\r\nend\r\n");
  std::remove(file.c_str());
  EXPECT_THROW(message.SaveToFile("/nonexistent-dir/x.eml"), EVizuError);
}

TEST(MailPart, DecodesByTransferEncoding) {
  TVeraDudurur2000 message(nullptr);
  auto decoded = [&](std::string_view text) {
    TMailPart* part = NewPart(message, text);
    part->Decode();
    return std::string(part->Decoded().View());
  };
  EXPECT_EQ(decoded("Content-Transfer-Encoding: quoted-printable\r\n\r\na=3Db=00c=\r\nd"),
            std::string("a=b\0cd", 6));
  EXPECT_EQ(decoded("Content-Transfer-Encoding: base64\r\n\r\nTWFu\r\n  TQ==  \r\n"), "ManM");
  // Bare LF line ends still decode.
  EXPECT_EQ(decoded("Content-Transfer-Encoding: base64\r\n\r\nTWFu\nTWFu\n"), "ManMan");
  // Mechanism names are read without regard to case: compared exactly, a
  // "Base64" attachment was stored as its base64 text.
  EXPECT_EQ(decoded("Content-Transfer-Encoding: BASE64\r\n\r\nTWFu"), "Man");
  EXPECT_EQ(decoded("Content-Transfer-Encoding: Base64 \r\n\r\nTWFu"), "Man");
  EXPECT_EQ(decoded("Content-Transfer-Encoding: Quoted-Printable\r\n\r\na=3Db"), "a=b");
  // One stream, not line by line: junk is skipped instead of taking a place,
  // a group runs across a line break, and a cut-off end keeps its bytes.
  EXPECT_EQ(decoded("Content-Transfer-Encoding: base64\r\n\r\nTW*Fu]\r\nTW\r\nFu\r\nTWE"),
            "ManManMa");
  EXPECT_EQ(decoded(std::string("\r\nraw\0bytes", 11)), std::string("raw\0bytes", 9));

  // uuencode: framing lines are skipped, the end line stops the data, and
  // the part becomes base64.
  TMailPart* uu = NewPart(message,
                          "Content-Type: application/octet-stream\r\n"
                          "Content-Transfer-Encoding: uucode\r\n\r\n"
                          "begin 644 abc.txt\r\n#86)C\r\n`\r\nend\r\ntrailing junk\r\n");
  uu->Decode();
  EXPECT_EQ(uu->Decoded().Data(), "abc");
  EXPECT_EQ(uu->GetLabelValue("Content-Transfer-Encoding"), "base64");
  EXPECT_EQ(uu->Body().Data(), "YWJj\r\n");
  TMailPart* bad = NewPart(message, "Content-Type: x/y\r\nContent-Transfer-Encoding: uucode\r\n\r\n#abc\r\n");
  EXPECT_THROW(bad->Decode(), EVizuError);

  // Decode runs once per Fill; an empty body leaves Decoded alone.
  TMailPart* once = NewPart(message, "Content-Transfer-Encoding: base64\r\n\r\nTWFu");
  once->Decode();
  once->Body().Assign("TQ==");
  once->Decode();
  EXPECT_EQ(once->Decoded().Data(), "Man");
  TMailPart* empty = NewPart(message, "\r\n");
  empty->Decoded().Assign("kept");
  empty->Decode();
  EXPECT_EQ(empty->Decoded().Data(), "kept");
}

TEST(MailPart, EncodesDecodedContent) {
  TVeraDudurur2000 message(nullptr);
  TMailPart part(&message);
  part.Decoded().Assign("caf\xe9 = ok");
  part.EncodeText();
  EXPECT_EQ(part.Body().Data(), "caf=E9 =3D ok");
  EXPECT_EQ(part.GetLabelValue("Content-Transfer-Encoding"), "quoted-printable");
  part.Encode(etBase64);
  EXPECT_EQ(part.Body().Data(), "Y2Fm6SA9IG9r\r\n");
  EXPECT_EQ(part.GetLabelValue("Content-Transfer-Encoding"), "base64");
  part.Encode(etNoEncoding);
  EXPECT_EQ(part.Body().Data(), "caf\xe9 = ok");
  EXPECT_FALSE(part.LabelExists("Content-Transfer-Encoding"));
  EXPECT_FALSE(part.IsDecoded());
}

TEST(MailPart, FileNames) {
  TVeraDudurur2000 message(nullptr);
  auto name = [&](std::string_view header) {
    TMailPart* part = NewPart(message, std::string(header) + "\r\n\r\n");
    return part->GetFileName();
  };
  EXPECT_EQ(name("Content-Type: text/plain; name=\"=?iso-8859-1?Q?r=E9sum=E9:1.txt?=\""),
            ValidFileName("r\xe9sum\xe9:1.txt"));
  EXPECT_EQ(name("Content-Disposition: attachment; filename=\"a/b.pdf\""), "a_b.pdf");
  EXPECT_EQ(name("Content-ID: <logo@example.org>"), ValidFileName("<logo@example.org>"));
  EXPECT_EQ(name("Content-Type: image/gif"), "image_gif" + GetMimeExtension("image/gif"));
  EXPECT_EQ(name("Content-Type: image/gif; name=\"logo\""), "logo" + GetMimeExtension("image/gif"));
  TMailPart bare(&message);
  EXPECT_EQ(bare.GetFileName(), "unknown");
}

// Names given as RFC 2231 parameters: the bytes the sender meant, in the
// message's Charset where they convert whole, and never decoded a second time.
TEST(MailPart, FileNamesFromExtendedParameters) {
  TVeraDudurur2000 message(nullptr);
  auto name = [&](std::string_view charset, std::string_view header) {
    message.SetCharset(std::string(charset));
    TMailPart* part = NewPart(message, std::string(header) + "\r\n\r\n");
    return part->GetFileName();
  };
  const char* euro = "Content-Type: a/b; name*0*=UTF-8''%E2%82; name*1*=%AC.pdf";
  EXPECT_EQ(name("utf-8", euro), "\xE2\x82\xAC.pdf");
  EXPECT_EQ(name("iso-8859-1", euro), "\xE2\x82\xAC.pdf");  // Latin-1 has no euro sign
  EXPECT_EQ(name("ISO-8859-15", euro), "\xA4.pdf");
  const char* latin = "Content-Disposition: attachment; filename*=iso-8859-1''%E9t%E9.txt";
  EXPECT_EQ(name("utf-8", latin), "\xC3\xA9t\xC3\xA9.txt");
  EXPECT_EQ(name("iso-8859-1", latin), "\xE9t\xE9.txt");
  EXPECT_EQ(name("utf-8", "Content-Type: a/b; name*=x-unknown''%E9t%E9.txt"), "\xE9t\xE9.txt");
  EXPECT_EQ(name("utf-8", "Content-Type: a/b; name*=''%E9t%E9.txt"), "\xE9t\xE9.txt");

  // Encoded-word text in a real name stays; then the usual steps follow.
  EXPECT_EQ(name("utf-8", "Content-Type: a/b; name*=utf-8''%3D%3Fx%3FQ%3Fy%3F%3D.txt"),
            ValidFileName("=?x?Q?y?=.txt"));
  EXPECT_EQ(name("utf-8", "Content-Type: image/gif; name*0=\"a/lo\"; name*1=go"),
            "a_logo" + GetMimeExtension("image/gif"));

  // Content-Type's name, plain or extended, before the disposition's filename;
  // an empty name is none, and what comes after it is decoded as ever.
  EXPECT_EQ(name("utf-8", "Content-Type: a/b; name*=''type.txt\r\n"
                          "Content-Disposition: attachment; filename=disposition.txt"),
            "type.txt");
  EXPECT_EQ(name("utf-8", "Content-Type: a/b; name=\"plain.txt\"; name*=''extended.txt"), "plain.txt");
  EXPECT_EQ(name("utf-8", "Content-Type: a/b; name*=utf-8''\r\nContent-ID: <=?utf-8?Q?id.x?=>"),
            ValidFileName("<id.x>"));

  // The accessors agree; a part with no owner message keeps the bytes.
  TMailPart* part = NewPart(message, std::string(latin) + "\r\n\r\n");
  message.SetCharset("utf-8");
  EXPECT_TRUE(part->LabelParamExists("Content-Disposition", "FileName"));
  EXPECT_EQ(part->GetLabelParamValue("Content-Disposition", "filename"), "\xC3\xA9t\xC3\xA9.txt");
  TMailPart loose(&message);
  loose.Header().Add(latin);
  EXPECT_EQ(loose.GetFileName(), "\xE9t\xE9.txt");
}

// The names the attachment list is searched by follow the message's Charset.
TEST(MailPart, AttachmentsAreFoundByExtendedNames) {
  TVeraDudurur2000 message(nullptr);
  message.SetCharset("utf-8");
  message.SetSource(
      "Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n"
      "--b\r\nContent-Type: text/plain\r\n\r\nhello\r\n"
      "--b\r\nContent-Type: application/pdf; name*=iso-8859-1''%E9t%E9.pdf\r\n"
      "Content-Disposition: attachment\r\n\r\nA\r\n"
      "--b\r\nContent-Type: application/pdf; name*0*=utf-8''%E2%82%AC; name*1=.pdf\r\n\r\nB\r\n"
      "--b--\r\n");
  message.FindParts();
  ASSERT_EQ(message.AttachList().Count(), 2);
  EXPECT_NE(message.GetAttach("\xC3\xA9t\xC3\xA9.pdf"), nullptr);
  EXPECT_NE(message.GetAttach("\xE2\x82\xAC.pdf"), nullptr);
  message.SetCharset("iso-8859-1");
  EXPECT_EQ(message.GetAttach("\xC3\xA9t\xC3\xA9.pdf"), nullptr);
  EXPECT_NE(message.GetAttach("\xE9t\xE9.pdf"), nullptr);
  EXPECT_NE(message.GetAttach("\xE2\x82\xAC.pdf"), nullptr);

  // Restructuring keeps the names given; a filename it adds for a name read
  // from RFC 2231 is written in that form again, in UTF-8.
  message.Normalize(nrForce);
  TMailPart* euro = message.GetAttach("\xE2\x82\xAC.pdf");
  ASSERT_NE(euro, nullptr);
  EXPECT_EQ(euro->GetLabelParamValue("Content-Disposition", "filename"), "\xE2\x82\xAC.pdf");
  std::string disposition;
  for (const std::string& entry : euro->Header())
    if (entry.rfind("Content-Disposition:", 0) == 0) disposition = entry;
  EXPECT_NE(disposition.find("filename*=utf-8''%E2%82%AC.pdf"), std::string::npos) << disposition;
  TMailPart* latin = message.GetAttach("\xE9t\xE9.pdf");
  ASSERT_NE(latin, nullptr);
  EXPECT_EQ(latin->GetLabelParamValue("Content-Disposition", "filename"), "\xE9t\xE9.pdf");
  message.DetachFile("\xE9T\xE9.PDF");
  EXPECT_EQ(message.AttachList().Count(), 1);
  EXPECT_EQ(message.GetAttach("\xE9t\xE9.pdf"), nullptr);
}

TEST(MailPart, RemoveAndDestroy) {
  TVeraDudurur2000 message(nullptr);
  message.SetSource(
      "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n\r\none\r\n--b\r\n\r\ntwo\r\n--b--\r\n");
  ASSERT_EQ(message.SubPartList().Count(), 2);
  TMailPart* first = message.SubPartList()[0];
  EXPECT_EQ(first->Owner(), &message);
  EXPECT_EQ(first->ParentPart(), &message);
  EXPECT_EQ(first->ParentBoundary(), "b");
  first->Remove();
  EXPECT_EQ(message.SubPartList().Count(), 1);
  EXPECT_EQ(first->ParentPart(), nullptr);
  EXPECT_EQ(first->ParentBoundary(), "b");
  message.Remove();  // the root never detaches
  // A detached part survives Reset and is freed with the message.
  message.Reset();
  EXPECT_EQ(first->Body().Data(), "one");
  EXPECT_EQ(message.ComponentCount(), 1);

  // Deleting a part takes it out of its parent's list and the classification.
  message.SetSource(
      "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n"
      "Content-Type: application/x\r\n\r\nA\r\n--b--\r\n");
  message.FindParts();
  ASSERT_EQ(message.AttachList().Count(), 1);
  delete message.SubPartList()[0];
  EXPECT_EQ(message.SubPartList().Count(), 0);
  EXPECT_EQ(message.AttachList().Count(), 0);
  EXPECT_EQ(message.MixedPart(), &message);
}

TEST(MailPart, FillNeedsAnOwnerMessage) {
  TMailPart orphan(nullptr);
  orphan.SetName("Orphan");
  orphan.Body().Assign("keep");
  try {
    orphan.Fill("Subject: x\r\n\r\n", true);
    FAIL();
  } catch (const EVizuError& e) {
    EXPECT_STREQ(e.what(), "Orphan: TMailPart must be owned by a TVeraDudurur2000");
  }
  EXPECT_EQ(orphan.Body().Data(), "keep");
}

TEST(MailPart, LargeBodiesParseAndDecodeByteExact) {
  // Several megabytes per part, so every buffer is big enough to be given
  // huge pages; the bytes cover all 256 values.
  std::string raw(5 * 1024 * 1024 + 7, '\0');
  std::uint32_t seed = 2045;
  for (char& c : raw) {
    seed = seed * 1103515245u + 12345u;
    c = static_cast<char>(seed >> 23);
  }
  TMemoryStream in(raw), b64;
  EncodeBASE64(b64, in);
  std::string text(4 * 1024 * 1024 + 3, 'a');
  for (size_t i = 0; i < text.size(); i += 61) text[i] = '=';
  std::string qp = EncodeQuotedPrintable(text, false);
  std::string plain(4 * 1024 * 1024 + 1, 'p');

  TVeraDudurur2000 message(nullptr);
  message.SetSource("Content-Type: multipart/mixed; boundary=\"B\"\r\n\r\n"
                    "--B\r\nContent-Transfer-Encoding: base64\r\n\r\n" + std::string(b64.View()) +
                    "\r\n--B\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n" + qp +
                    "\r\n--B\r\nContent-Type: text/plain\r\n\r\n" + plain + "\r\n--B--\r\n");
  const TMailPartList& parts = static_cast<const TVeraDudurur2000&>(message).SubPartList();
  ASSERT_EQ(parts.Count(), 3);
  EXPECT_EQ(parts[0]->Body().View(), b64.View());
  EXPECT_EQ(parts[1]->Body().View(), qp);
  EXPECT_EQ(parts[2]->Body().View(), plain);
  for (TMailPart* part : parts) part->Decode();
  EXPECT_EQ(parts[0]->Decoded().Size(), static_cast<std::int64_t>(raw.size()));
  EXPECT_TRUE(parts[0]->Decoded().View() == raw);
  EXPECT_TRUE(parts[1]->Decoded().View() == text);
  EXPECT_TRUE(parts[2]->Decoded().View() == plain);
}
