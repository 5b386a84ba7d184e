/*
 * talmora-pixtrim: make JPEG, PNG and BMP files smaller.
 *
 * Every function takes file paths (NUL-terminated bytes, passed unchanged to
 * the C file functions). Inputs are recognised by their first bytes; the
 * output format follows the output path's extension (.jpg/.jpeg, .png, .bmp,
 * any letter case) and falls back to the input's format for any other name.
 * JPEG and BMP carry no alpha: transparent pixels are flattened onto white.
 * Every PNG written is the smallest of several exact encodings.
 *
 * Two texts are kept between calls and read back with pixtrim_last_error()
 * and pixtrim_stats(): the message of the last failure, and a one-line JSON
 * record of the last successful operation:
 *   {"input_size":800,"output_size":200,"ratio":75.00,"saved_bytes":600}
 *
 * Damaged or hostile files fail with a message, never a crash: only regular
 * files of under 2 GiB are read, file structure is checked before decoding,
 * and pictures of more than 16383 x 16383 pixels in all are refused. An output that names
 * the input file itself is written beside it and renamed over it only once
 * complete, so a failed write leaves the original intact.
 *
 * The library keeps process-wide state and starts no threads: calls must not
 * overlap. A host calling from several threads serialises the calls itself.
 */
#ifndef PIXTRIM_H
#define PIXTRIM_H

#if defined(PIXTRIM_BUILDING)
#define PIXTRIM_API __attribute__((visibility("default")))
#else
#define PIXTRIM_API
#endif

#ifdef __cplusplus
#define PIXTRIM_NOEXCEPT noexcept
extern "C" {
#else
#define PIXTRIM_NOEXCEPT
#endif

/* Resets both texts: last error empty, statistics "{}". Returns 1.
 * Calling it is optional; the texts hold these values from load time. */
PIXTRIM_API int pixtrim_init(void) PIXTRIM_NOEXCEPT;

/* Resets both texts like pixtrim_init. Holds no resources to release. */
PIXTRIM_API void pixtrim_cleanup(void) PIXTRIM_NOEXCEPT;

/* Compresses one file at quality 1..100 (values outside are clamped).
 * JPEG output: the encoder's quality. PNG output: the share of pixels kept;
 * below 100 both sides are scaled by sqrt(quality/100) and rounded.
 * BMP output: quality has no effect.
 * Returns 1 on success (statistics updated when the input size is known),
 * 0 on failure with the reason in the last-error text. */
PIXTRIM_API int pixtrim_quality(const char *input_path, const char *output_path,
                                int quality) PIXTRIM_NOEXCEPT;

/* Writes one file of at most target_bytes bytes. JPEG output: the highest
 * quality that fits (bisection over 1..100; it may stop early at a quality
 * whose file is at most a quarter of the budget). PNG and BMP output: the
 * picture at 100, 80, 60, 40 or 20 percent of its sides, the first that fits.
 * Returns 1 on success, 0 on failure. When no attempt fits, the last attempt
 * stays on disk (unless the output is the input itself, which is then kept),
 * the statistics describe it and the last-error text says
 * "target_size: could not get output <= N bytes (best: M)". */
PIXTRIM_API int pixtrim_target_size(const char *input_path, const char *output_path,
                                    int target_bytes) PIXTRIM_NOEXCEPT;

/* Re-encodes one file at full quality: the smallest exact PNG found, a BMP,
 * or a JPEG at quality 100. Returns 1 on success, 0 on failure. */
PIXTRIM_API int pixtrim_lossless(const char *input_path, const char *output_path) PIXTRIM_NOEXCEPT;

/* Runs pixtrim_quality on every .jpg, .jpeg, .png and .bmp name directly
 * inside input_dir, writing under the same name into output_dir (created,
 * one level, when missing). Returns the number of files compressed; 0 when
 * no entry has an image name; -1 when a path is null, input_dir cannot be
 * listed, or every selected file failed. The texts describe the last file. */
PIXTRIM_API int pixtrim_batch(const char *input_dir, const char *output_dir,
                              int quality) PIXTRIM_NOEXCEPT;

/* The statistics text. Owned by the library: read it, do not write or free
 * it. The pointer stays valid; its contents change with later calls. */
PIXTRIM_API const char *pixtrim_stats(void) PIXTRIM_NOEXCEPT;

/* The last-error text, empty when the last call succeeded. Owned by the
 * library like pixtrim_stats(). */
PIXTRIM_API const char *pixtrim_last_error(void) PIXTRIM_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
