/*
 * Sandbox stand-in for the agent's screenshot program, a native program as the real one is:
 * macos-screenshot OUTPUT.png. With screen recording granted (the flag file
 * $HOME/.sandbox/grants/screenRecording) it writes a "desktop" picture of tens of kilobytes;
 * without it, like the real system, it still succeeds but captures nothing but a blank 1x1 image.
 * Every start is recorded.
 *
 * The PNG is 8-bit RGB with its pixels in stored (uncompressed) deflate blocks: no library needed.
 */
#include "standin-record.h"

#include <errno.h>
#include <stdint.h>

static uint32_t crc_table[256];

static void make_crc_table(void)
{
    for (uint32_t n = 0; n < 256; n++) {
        uint32_t c = n;
        for (int k = 0; k < 8; k++)
            c = (c & 1) ? 0xedb88320u ^ (c >> 1) : c >> 1;
        crc_table[n] = c;
    }
}

static uint32_t crc_update(uint32_t crc, const unsigned char *data, size_t length)
{
    for (size_t i = 0; i < length; i++)
        crc = crc_table[(crc ^ data[i]) & 0xff] ^ (crc >> 8);
    return crc;
}

static void put32(unsigned char *to, uint32_t value)
{
    to[0] = (unsigned char)(value >> 24);
    to[1] = (unsigned char)(value >> 16);
    to[2] = (unsigned char)(value >> 8);
    to[3] = (unsigned char)value;
}

static bool write_chunk(FILE *out, const char *type, const unsigned char *data, size_t length)
{
    unsigned char head[8];
    put32(head, (uint32_t)length);
    memcpy(head + 4, type, 4);
    uint32_t crc = crc_update(0xffffffffu, head + 4, 4);
    crc = crc_update(crc, data, length);
    unsigned char tail[4];
    put32(tail, crc ^ 0xffffffffu);
    return fwrite(head, 1, 8, out) == 8 && (length == 0 || fwrite(data, 1, length, out) == length)
        && fwrite(tail, 1, 4, out) == 4;
}

/* raw: the filtered scanlines. Returns a malloc'd zlib stream of stored blocks. */
static unsigned char *zlib_stored(const unsigned char *raw, size_t length, size_t *size)
{
    const size_t blocks = length / 65535 + 1;
    unsigned char *z = malloc(2 + blocks * 5 + length + 4);
    if (!z)
        return NULL;
    size_t o = 0;
    z[o++] = 0x78;
    z[o++] = 0x01;
    size_t at = 0;
    do {
        const size_t n = length - at > 65535 ? 65535 : length - at;
        z[o++] = at + n == length ? 1 : 0;
        z[o++] = (unsigned char)(n & 0xff);
        z[o++] = (unsigned char)(n >> 8);
        z[o++] = (unsigned char)(~n & 0xff);
        z[o++] = (unsigned char)((~n >> 8) & 0xff);
        memcpy(z + o, raw + at, n);
        o += n;
        at += n;
    } while (at < length);
    uint32_t a = 1, b = 0;
    for (size_t i = 0; i < length; i++) {
        a = (a + raw[i]) % 65521;
        b = (b + a) % 65521;
    }
    put32(z + o, (b << 16) | a);
    *size = o + 4;
    return z;
}

int main(int argc, char **argv)
{
    const char *home = getenv("HOME");
    if (!home)
        home = "";
    standin_record(home, "macos-screenshot", "");
    if (argc != 2 || !argv[1][0]) {
        fputs("usage: macos-screenshot OUTPUT.png\n", stderr);
        return 64;
    }
    const char *output = argv[1];

    const bool granted = standin_granted(home, "screenRecording");
    const uint32_t width = granted ? 160 : 1, height = granted ? 100 : 1;
    const size_t stride = width * 3 + 1;
    unsigned char *raw = calloc(stride, height);
    if (!raw)
        return 1;
    uint32_t seed = (uint32_t)time(NULL) & 0xffff;
    for (uint32_t y = 0; granted && y < height; y++) {
        unsigned char *row = raw + y * stride + 1; /* filter byte 0: none */
        for (uint32_t x = 0; x < width; x++) {
            const bool window = x > 30 && x < 130 && y > 20 && y < 80;
            const int base[3] = {window ? 236 : 40 + (int)(y >> 1), window ? 239 : 80 + (int)(x >> 2), window ? 244 : 160};
            for (int c = 0; c < 3; c++) {
                seed = (seed * 1103515245u + 12345u) & 0x7fffffffu;
                const int value = base[c] + (int)(seed & 0x1f);
                row[x * 3 + c] = (unsigned char)(value > 255 ? 255 : value);
            }
        }
    }
    size_t zsize = 0;
    unsigned char *z = zlib_stored(raw, stride * height, &zsize);
    free(raw);
    if (!z)
        return 1;

    make_crc_table();
    unsigned char header[13];
    put32(header, width);
    put32(header + 4, height);
    header[8] = 8;  /* bit depth */
    header[9] = 2;  /* RGB */
    header[10] = 0; /* deflate */
    header[11] = 0; /* adaptive filtering */
    header[12] = 0; /* no interlace */
    static const unsigned char signature[8] = {0x89, 'P', 'N', 'G', 0x0d, 0x0a, 0x1a, 0x0a};

    FILE *out = fopen(output, "wb");
    bool written = out && fwrite(signature, 1, 8, out) == 8 && write_chunk(out, "IHDR", header, 13)
        && write_chunk(out, "IDAT", z, zsize) && write_chunk(out, "IEND", NULL, 0);
    const int error = errno;
    free(z);
    if (out && fclose(out) != 0)
        written = false;
    if (!written) {
        fprintf(stderr, "macos-screenshot: cannot write %s: %s\n", output, strerror(error));
        return 1;
    }
    return 0;
}
