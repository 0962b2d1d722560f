// Blowfish and Base64 rows of the codec benchmark: ours beside OpenSSL's
// BF_ecb_encrypt and EVP_EncodeBlock/EVP_DecodeBlock on the same bytes.
#include "bench/CrashlibCodecBench.h"

#include "crashlib/kelCrypt.h"

// OpenSSL 3 keeps Blowfish only in its deprecated low-level interface.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/blowfish.h>
#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>

namespace codecbench {

namespace {

const std::string Key = "Crash report key, 32 bytes long!";

void OpenSslBlowfish(std::string& Data, int Direction)
{
    BF_KEY K;
    BF_set_key(&K, static_cast<int>(Key.size()),
               reinterpret_cast<const unsigned char*>(Key.data()));
    auto* B = reinterpret_cast<unsigned char*>(Data.data());
    for (std::size_t At = 0; At + 8 <= Data.size(); At += 8) {
        BF_ecb_encrypt(B + At, B + At, &K, Direction);
    }
}

} // namespace

std::vector<Row> CryptRows(const std::vector<Corpus>& Corpora)
{
    std::vector<Row> Rows;
    for (const Corpus& C : Corpora) {
        const std::size_t N = C.Data.size();

        // Blowfish, standard block order, both directions; each call keys
        // its own context, as every call of ours does.
        for (bool Forward : {true, false}) {
            std::string Ours = C.Data;
            std::string Anchor = C.Data;
            const double TOurs =
                BestSeconds([&] { BlowfishBuf(Ours.data(), Ours.size(), Forward, false, 0, Key); });
            const double TAnchor =
                BestSeconds([&] { OpenSslBlowfish(Anchor, Forward ? BF_ENCRYPT : BF_DECRYPT); });
            // Both ran the cipher the same number of times only by chance, so
            // compare one fresh pass.
            Ours = C.Data;
            Anchor = C.Data;
            BlowfishBuf(Ours.data(), Ours.size(), Forward, false, 0, Key);
            OpenSslBlowfish(Anchor, Forward ? BF_ENCRYPT : BF_DECRYPT);
            Rows.push_back({Forward ? "blowfish enc" : "blowfish dec", C.Name, "OpenSSL BF_ecb",
                            MBps(N, TOurs), MBps(N, TAnchor),
                            Ours == Anchor ? "same bytes" : "DIFFERENT BYTES"});
        }

        // Base64 encoding; speed per input byte.
        std::string Text;
        std::string AnchorText((N + 2) / 3 * 4 + 1, '\0');
        const double TEnc = BestSeconds([&] { Text = Base64Encode(C.Data); });
        const double TEncAnchor = BestSeconds([&] {
            EVP_EncodeBlock(reinterpret_cast<unsigned char*>(AnchorText.data()),
                            reinterpret_cast<const unsigned char*>(C.Data.data()),
                            static_cast<int>(N));
        });
        AnchorText.pop_back();
        Rows.push_back({"base64 enc", C.Name, "OpenSSL EVP_EncodeBlock", MBps(N, TEnc),
                        MBps(N, TEncAnchor), Text == AnchorText ? "same text" : "DIFFERENT TEXT"});

        // Base64 decoding; speed per input character.
        std::string Bytes;
        std::string AnchorBytes(Text.size() / 4 * 3, '\0');
        int AnchorLength = 0;
        const double TDec = BestSeconds([&] { Bytes = Base64Decode(Text); });
        const double TDecAnchor = BestSeconds([&] {
            AnchorLength = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(AnchorBytes.data()),
                                           reinterpret_cast<const unsigned char*>(Text.data()),
                                           static_cast<int>(Text.size()));
        });
        // OpenSSL counts the padding's zero bytes in its length.
        const bool Same =
            AnchorLength >= 0 && Bytes == C.Data && AnchorBytes.compare(0, N, C.Data) == 0;
        Rows.push_back({"base64 dec", C.Name, "OpenSSL EVP_DecodeBlock", MBps(Text.size(), TDec),
                        MBps(Text.size(), TDecAnchor), Same ? "same bytes" : "DIFFERENT BYTES"});
    }
    return Rows;
}

} // namespace codecbench
