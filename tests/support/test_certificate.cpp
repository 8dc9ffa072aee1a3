#include "support/test_certificate.h"

#include <sys/stat.h>

#include <stdexcept>
#include <vector>

#include "support/server_process.h"

namespace VizuTest {
namespace {

void run(const std::vector<std::string>& args, const std::string& outputPath) {
  if (runProgram(args, outputPath) != 0)
    throw std::runtime_error("test certificate: " + args[0] + " " + args[1] + " failed: " + readFile(outputPath));
}

}  // namespace

TestCertificate makeTestCertificate(const std::string& folder, const std::string& name,
                                    const std::string& subjectAltName, Validity validity) {
  const std::string base = folder + "/" + name;
  TestCertificate made{base + "-cert.pem", base + "-key.pem", {}};
  const std::string output = base + "-openssl.txt";
  // A request with the names, then a self-signature by "openssl ca", which
  // alone can set dates in the past. An EC key is quick to make.
  std::vector<std::string> request = {"openssl", "req", "-new", "-newkey", "ec", "-pkeyopt",
                                      "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", made.key, "-out",
                                      base + ".csr", "-subj"};
  if (subjectAltName.empty()) {
    request.push_back("/CN=" + name);
  } else {
    request.insert(request.end(), {"/CN=Quenwick test " + name, "-addext", "subjectAltName=" + subjectAltName});
  }
  run(request, output);
  const std::string ca = base + "-ca";
  mkdir(ca.c_str(), 0700);
  writeFile(ca + "/index.txt", "", 0600);
  writeFile(ca + "/serial", "01\n", 0600);
  writeFile(base + "-ca.cnf",
            "[ca]\ndefault_ca = test\n"
            "[test]\ndatabase = " + ca + "/index.txt\nnew_certs_dir = " + ca + "\nserial = " + ca + "/serial\n"
            "default_md = sha256\npolicy = any\ncopy_extensions = copy\nx509_extensions = server\n"
            "[any]\ncommonName = supplied\n"
            "[server]\nbasicConstraints = critical, CA:true\nsubjectKeyIdentifier = hash\n"
            "keyUsage = digitalSignature, keyCertSign\nextendedKeyUsage = serverAuth\n",
            0600);
  std::vector<std::string> sign = {"openssl", "ca", "-batch", "-config", base + "-ca.cnf", "-selfsign", "-keyfile",
                                   made.key, "-in", base + ".csr", "-out", made.certificate, "-notext"};
  if (validity == Validity::Expired) {
    sign.insert(sign.end(), {"-startdate", "20200101000000Z", "-enddate", "20200201000000Z"});
  } else {
    sign.insert(sign.end(), {"-days", "30"});
  }
  run(sign, output);
  run({"openssl", "x509", "-in", made.certificate, "-noout", "-fingerprint", "-sha256"}, output);
  made.fingerprint = readFile(output);
  while (!made.fingerprint.empty() && (made.fingerprint.back() == '\n' || made.fingerprint.back() == '\r'))
    made.fingerprint.pop_back();
  // Dovecot's master reads the files; as root it may run as another user.
  chmod(made.key.c_str(), 0644);
  chmod(made.certificate.c_str(), 0644);
  return made;
}

}  // namespace VizuTest
