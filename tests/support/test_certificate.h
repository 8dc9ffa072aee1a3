#pragma once
// Server certificates for TLS tests, made by the openssl command inside a
// folder of the test's own: self-signed, each with its own key.
//
//   auto good = VizuTest::makeTestCertificate(folder, "good", "IP:127.0.0.1");
//   auto old = VizuTest::makeTestCertificate(folder, "old", "IP:127.0.0.1",
//                                            VizuTest::Validity::Expired);
//   server.enableTls(good.certificate, good.key);
//   client.SetTrustedCertificate(good.certificate);   // or good.fingerprint
#include <string>

namespace VizuTest {

struct TestCertificate {
  std::string certificate;  // PEM file
  std::string key;          // PEM file, unencrypted
  // As "openssl x509 -noout -fingerprint -sha256" prints it.
  std::string fingerprint;
};

// Current: valid from now on for 30 days. Expired: valid in January 2020.
enum class Validity { Current, Expired };

// subjectAltName as openssl reads it: "IP:127.0.0.1", "DNS:mail.example.org";
// empty: none, and the common name is name itself (else "Quenwick test
// <name>").
// Throws std::runtime_error (with openssl's output) when a step fails.
TestCertificate makeTestCertificate(const std::string& folder, const std::string& name,
                                    const std::string& subjectAltName, Validity validity = Validity::Current);

}  // namespace VizuTest
