/* A minimal C program built against an installed talmora-pixtrim: writes a
 * tiny BMP, re-encodes it as PNG and prints the statistics record. */
#include <pixtrim.h>

#include <stdio.h>
#include <string.h>

/* A 2 x 2 24-bit BMP: 54 header bytes, two rows of 6 bytes padded to 8. */
static const unsigned char tiny_bmp[] = {
    'B', 'M', 70, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0,
    40, 0, 0, 0, 2, 0, 0, 0, 2, 0, 0, 0, 1, 0, 24, 0, 0, 0, 0, 0, 16, 0, 0, 0,
    0x13, 0x0B, 0, 0, 0x13, 0x0B, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 255, 0, 255, 0, 0, 0,
    255, 0, 0, 255, 255, 255, 0, 0,
};

int main(int argc, char **argv) {
    char input[4096], output[4096];
    FILE *file;
    if (argc != 2) {
        fprintf(stderr, "usage: consumer DIR\n");
        return 2;
    }
    snprintf(input, sizeof input, "%s/tiny.bmp", argv[1]);
    snprintf(output, sizeof output, "%s/tiny.png", argv[1]);
    file = fopen(input, "wb");
    if (!file || fwrite(tiny_bmp, 1, sizeof tiny_bmp, file) != sizeof tiny_bmp ||
        fclose(file) != 0) {
        fprintf(stderr, "cannot write %s\n", input);
        return 1;
    }
    pixtrim_init();
    if (pixtrim_lossless(input, output) != 1) {
        fprintf(stderr, "lossless failed: %s\n", pixtrim_last_error());
        return 1;
    }
    if (strncmp(pixtrim_stats(), "{\"input_size\":70,", 17) != 0) {
        fprintf(stderr, "unexpected statistics: %s\n", pixtrim_stats());
        return 1;
    }
    printf("%s\n", pixtrim_stats());
    pixtrim_cleanup();
    return 0;
}
