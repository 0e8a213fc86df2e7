#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/tls_test_keys.hpp"
#include "transport/ssh_rsa_keys.hpp"

namespace tyx {
namespace {

using test::base64;

// A key made with the usual key generator (public half only): exponent 65537, 1024 bits.
constexpr const char* kRealKeyBody =
    "AAAAB3NzaC1yc2EAAAADAQABAAAAgQC7RKXujUn+H4OQstuuuNnBWS+QJjjn66lOJ8FNzCniyy4PVguh3QnoqSOTWVd7AIPmhpRufd"
    "WxpzAIqVCX7/aeTxxOYjmUOkCKdPa6E1W9iSrQdcDX8QDqd3JdYVsj70d/F2Uw/yRAk9KMiEvpyImXkTKgrM3cvickzNxMV2/SMQ==";

std::string field(const std::string& bytes) {
    std::string out;
    const auto n = static_cast<std::uint32_t>(bytes.size());
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>((n >> shift) & 0xff));
    return out + bytes;
}

std::string body(const std::vector<std::string>& fields) {
    std::string blob;
    for (const auto& f : fields) blob += field(f);
    return base64(blob);
}

TEST(SshRsaKeys, ReadsARealKey) {
    const SshRsaKey key = parse_ssh_rsa_body(kRealKeyBody);
    EXPECT_EQ(key.exponent, (std::vector<std::uint8_t>{0x01, 0x00, 0x01}));
    ASSERT_EQ(key.modulus.size(), 128u);  // the mpint's leading zero byte is not part of it
    EXPECT_EQ(key.modulus[0], 0xbb);
    EXPECT_EQ(key.modulus[1], 0x44);

    // Leading zero bytes do not make a different key.
    EXPECT_EQ(parse_ssh_rsa_body(body({"ssh-rsa", std::string("\0\0\x03", 3), std::string("\0\x7f\x01", 3)})),
              (SshRsaKey{{0x03}, {0x7f, 0x01}}));
}

TEST(SshRsaKeys, BadBodiesRaiseTheirTexts) {
    const std::string e("\x01\x00\x01", 3);
    const std::string n("\x00\xc1\x02\x03", 4);
    const struct {
        const char* what;
        std::string body;
        const char* error;
    } cases[] = {
        {"character outside the alphabet", "AAAA*AAA", "invalid base64 in ssh-rsa key"},
        {"length not a multiple of four", "AAAAB3N", "invalid base64 in ssh-rsa key"},
        {"padding inside", "AA=AAAAA", "invalid base64 in ssh-rsa key"},
        {"empty body", "", "invalid base64 in ssh-rsa key"},
        {"three bytes only", base64(std::string(3, '\0')), "truncated ssh-rsa key (length header)"},
        {"no modulus field", base64(field("ssh-rsa") + field(e)), "truncated ssh-rsa key (length header)"},
        {"type tag longer than the body", base64(field("ssh-rsa").substr(0, 8)),
         "truncated ssh-rsa key (field body)"},
        {"modulus cut short", base64(field("ssh-rsa") + field(e) + field(n).substr(0, 6)),
         "truncated ssh-rsa key (field body)"},
        {"other key type", body({"ssh-dss", e, n}), "ssh-rsa key body has unexpected type tag"},
        {"type tag with a suffix", body({"ssh-rsa-cert-v01@openssh.com", e, n}),
         "ssh-rsa key body has unexpected type tag"},
        {"negative exponent", body({"ssh-rsa", "\x81", n}), "failed to parse ssh-rsa modulus/exponent"},
        {"empty modulus", body({"ssh-rsa", e, ""}), "failed to parse ssh-rsa modulus/exponent"},
        {"zero modulus", body({"ssh-rsa", e, std::string(3, '\0')}),
         "failed to parse ssh-rsa modulus/exponent"},
        {"bytes after the modulus", base64(field("ssh-rsa") + field(e) + field(n) + "x"),
         "failed to parse ssh-rsa modulus/exponent"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        try {
            parse_ssh_rsa_body(c.body);
            ADD_FAILURE() << "no error";
        } catch (const std::runtime_error& error) {
            EXPECT_STREQ(error.what(), c.error);
        }
    }
}

TEST(SshRsaKeys, FileKeepsGoodKeysAndListsSkippedLines) {
    const std::string text =
        std::string("# trusted relay keys\n\n") + "ssh-rsa " + kRealKeyBody +
        " relay-1\r\n" +  // CRLF endings are fine
        "ssh-rsa AAAA*AAA broken\n" + "ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIA== other\n" + "  ssh-rsa\t" +
        body({"ssh-rsa", "\x03", "\x7f\x01"}) + "\n" + "ssh-rsa " + kRealKeyBody;  // no final line feed
    const SshRsaKeyFile file = parse_ssh_rsa_keys(text, "keys.pub");
    ASSERT_EQ(file.keys.size(), 3u);
    EXPECT_EQ(file.keys[1], (SshRsaKey{{0x03}, {0x7f, 0x01}}));
    EXPECT_EQ(file.keys[0], file.keys[2]);
    EXPECT_EQ(file.skipped, (std::vector<std::string>{"line 4: invalid base64 in ssh-rsa key",
                                                      "line 5: not an ssh-rsa key"}));
}

TEST(SshRsaKeys, FileWithoutAGoodKeyFails) {
    const struct {
        const char* what;
        std::string text;
        std::vector<std::string> skipped;
    } cases[] = {
        {"empty", "", {}},
        {"comments only", "# nothing here\n\n", {}},
        {"broken keys only",
         "ssh-rsa AAAA\nssh-rsa\n",
         {"line 1: truncated ssh-rsa key (length header)", "line 2: invalid base64 in ssh-rsa key"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        try {
            parse_ssh_rsa_keys(c.text, "/etc/tyx/keys.pub");
            ADD_FAILURE() << "no error";
        } catch (const SshRsaKeyFileError& error) {
            EXPECT_STREQ(error.what(), "no valid ssh-rsa public keys found in: /etc/tyx/keys.pub");
            EXPECT_EQ(error.skipped(), c.skipped);
        }
    }
}

TEST(SshRsaKeys, LoadsFromAFileAndReportsOnesItCannotRead) {
    const auto& material = test::tls_test_material();
    const std::string path = material.file("load.pub", material.server_pub + "\n");
    EXPECT_EQ(load_ssh_rsa_keys(path).keys.size(), 1u);

    for (const std::string& unreadable : {material.dir + "/missing.pub", material.dir}) {
        try {
            load_ssh_rsa_keys(unreadable);
            ADD_FAILURE() << "no error for " << unreadable;
        } catch (const std::runtime_error& error) {
            EXPECT_EQ(error.what(), "cannot open ssh-rsa pub file: " + unreadable);
        }
    }
}

}  // namespace
}  // namespace tyx
