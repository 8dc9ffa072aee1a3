// What the TLS socket trusts: fingerprints as a user pastes them, and the
// names a certificate is good for, on certificates made by the openssl
// command.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/client_socket.h"
#include "support/server_process.h"
#include "support/test_certificate.h"

using namespace Vizu2000;

TEST(TlsTrustTest, FingerprintsAreReadAsTheOpensslCommandPrintsThem) {
  const std::string hex = "cf62a79b076c8b27c5c05967dc82ee925dba5675a96b8be2748d117630227 9d0";
  const std::string expected = "cf62a79b076c8b27c5c05967dc82ee925dba5675a96b8be2748d1176302279d0";
  EXPECT_EQ(NormalizedFingerprint(hex), expected);
  EXPECT_EQ(NormalizedFingerprint("sha256 Fingerprint=CF:62:A7:9B:07:6C:8B:27:C5:C0:59:67:DC:82:EE:92:5D:BA:56:"
                                  "75:A9:6B:8B:E2:74:8D:11:76:30:22:79:D0\n"),
            expected);
  EXPECT_EQ(NormalizedFingerprint("SHA256 Fingerprint=" + expected), expected);
  // Anything else is a file name: too short, too long (SHA-1 and SHA-512
  // lengths too), or not hex.
  EXPECT_EQ(NormalizedFingerprint(expected.substr(0, 63)), "");
  EXPECT_EQ(NormalizedFingerprint(expected + "0"), "");
  EXPECT_EQ(NormalizedFingerprint(expected.substr(0, 40)), "");
  EXPECT_EQ(NormalizedFingerprint(expected + expected), "");
  EXPECT_EQ(NormalizedFingerprint("/home/ann/" + expected.substr(0, 54)), "");
  EXPECT_EQ(NormalizedFingerprint(expected.substr(0, 63) + "g"), "");
  EXPECT_EQ(NormalizedFingerprint(""), "");
}

TEST(TlsTrustTest, CertificateNamesFollowRfc6125) {
  std::string folder = VizuTest::makeTempFolder("vizu-names");
  const auto pem = [&folder](const std::string& name, const std::string& subjectAltName) {
    return VizuTest::readFile(VizuTest::makeTestCertificate(folder, name, subjectAltName).certificate);
  };
  // Addresses match iPAddress entries only, in any spelling of the address.
  const std::string addresses = pem("addresses", "IP:127.0.0.1,IP:::1,DNS:localhost");
  EXPECT_TRUE(CertificateNames(addresses, "127.0.0.1"));
  EXPECT_TRUE(CertificateNames(addresses, "::1"));
  EXPECT_TRUE(CertificateNames(addresses, "0:0:0:0:0:0:0:1"));
  EXPECT_TRUE(CertificateNames(addresses, "localhost"));
  EXPECT_FALSE(CertificateNames(addresses, "127.0.0.2"));
  EXPECT_FALSE(CertificateNames(pem("dns-address", "DNS:127.0.0.1"), "127.0.0.1"));

  // Names: case and a final dot do not matter; "*" stands for exactly one
  // whole left-most label, and never for a label right under the top.
  const std::string names = pem("names", "DNS:mail.example.org,DNS:*.pop.example.org,DNS:*.org,IP:10.0.0.1");
  EXPECT_TRUE(CertificateNames(names, "mail.example.org"));
  EXPECT_TRUE(CertificateNames(names, "MAIL.Example.ORG"));
  EXPECT_TRUE(CertificateNames(names, "mail.example.org."));
  EXPECT_TRUE(CertificateNames(names, "eu.pop.example.org"));
  EXPECT_TRUE(CertificateNames(names, "10.0.0.1"));
  EXPECT_FALSE(CertificateNames(names, "pop.example.org"));
  EXPECT_FALSE(CertificateNames(names, "a.eu.pop.example.org"));
  EXPECT_FALSE(CertificateNames(names, "example.org"));
  EXPECT_FALSE(CertificateNames(names, "smtp.example.org"));
  EXPECT_FALSE(CertificateNames(names, "mail.example.org.evil.net"));
  EXPECT_FALSE(CertificateNames(names, "Quenwick test names"));

  // Without DNS and IP entries the common name stands in for them (6.4.4).
  const std::string commonName = pem("mail.example.org", "");
  EXPECT_TRUE(CertificateNames(commonName, "mail.example.org"));
  EXPECT_FALSE(CertificateNames(commonName, "pop.example.org"));
  EXPECT_FALSE(CertificateNames("not a certificate", "mail.example.org"));
  VizuTest::removeTempFolder(folder);
}

namespace {

// A self-signed certificate with this common name and these subjectAltName
// entries (none when empty), as PEM text.
std::string CertificateFor(const std::string& folder, const std::string& commonName, const std::string& altNames) {
  static int serial = 0;
  const std::string base = folder + "/cert" + std::to_string(++serial);
  std::vector<std::string> args = {"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                                   "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2", "-keyout",
                                   base + "-key.pem", "-out", base + ".pem", "-subj", "/CN=" + commonName};
  if (!altNames.empty()) args.insert(args.end(), {"-addext", "subjectAltName=" + altNames});
  EXPECT_EQ(VizuTest::runProgram(args, base + ".txt"), 0) << VizuTest::readFile(base + ".txt");
  return VizuTest::readFile(base + ".pem");
}

}  // namespace

TEST(TlsTrustTest, ACommonNameCountsOnlyWithoutAltNamesAndANameMustHaveAnAsciiForm) {
  std::string folder = VizuTest::makeTempFolder("vizu-names");
  // A certificate with alternative names is for those alone, whatever its
  // common name says, even when they are addresses only.
  const std::string otherName = CertificateFor(folder, "mail.example.org", "DNS:pop.example.org");
  EXPECT_FALSE(CertificateNames(otherName, "mail.example.org"));
  EXPECT_TRUE(CertificateNames(otherName, "pop.example.org"));
  const std::string addressOnly = CertificateFor(folder, "mail.example.org", "IP:10.0.0.1");
  EXPECT_FALSE(CertificateNames(addressOnly, "mail.example.org"));
  EXPECT_TRUE(CertificateNames(addressOnly, "10.0.0.1"));
  // Nor does a common name that is an address stand in for an IP entry.
  EXPECT_FALSE(CertificateNames(CertificateFor(folder, "10.0.0.1", ""), "10.0.0.1"));

  // Names are compared in their ASCII form, in either spelling; a name that
  // has no such form (a blank, an empty label, a label of more than 63
  // characters, a leading hyphen) names no host.
  const std::string international = CertificateFor(folder, "x", "DNS:xn--bcher-kva.example.org");
  EXPECT_TRUE(CertificateNames(international, "b\xC3\xBC" "cher.example.org"));
  EXPECT_TRUE(CertificateNames(international, "xn--bcher-kva.example.org"));
  EXPECT_FALSE(CertificateNames(international, "bucher.example.org"));
  const std::string wild = CertificateFor(folder, "*.example.org", "");
  EXPECT_TRUE(CertificateNames(wild, "mail.example.org"));
  for (const std::string& bad : std::vector<std::string>{"mail .example.org", "mail..example.org", std::string(64, 'm') + ".example.org",
                                "-mail.example.org", "\xFF.example.org", ""})
    EXPECT_FALSE(CertificateNames(wild, bad)) << bad;
  VizuTest::removeTempFolder(folder);
}
