/* qsort for libimagequant's Windows build (cmake/mingw-assimp.sh compiles it
 * with -Dqsort=vantrel_merge_qsort). Its palette comparison never answers
 * "equal", so colours of equal popularity come out in whatever order the sort
 * happens to compare them: Windows' qsort orders them differently from the
 * C library of the Linux build, and so would the textures' palettes. This is
 * the Linux C library's algorithm as far as order goes: a top-down merge
 * sort that halves with the smaller half first and takes from the first half
 * while the comparison says less or equal. */
#include <stdlib.h>
#include <string.h>

typedef int (*compare_fn)(const void *, const void *);

static void merge_sort(char *base, size_t count, size_t size, compare_fn compare, char *scratch)
{
    if (count <= 1) return;
    size_t left = count / 2, right = count - left;
    char *a = base, *b = base + left * size, *out = scratch;
    merge_sort(a, left, size, compare, scratch);
    merge_sort(b, right, size, compare, scratch);
    while (left > 0 && right > 0) {
        if (compare(a, b) <= 0) {
            memcpy(out, a, size);
            a += size;
            --left;
        } else {
            memcpy(out, b, size);
            b += size;
            --right;
        }
        out += size;
    }
    /* What is left of the second half is already in place. */
    if (left > 0) memcpy(out, a, left * size);
    memcpy(base, scratch, (count - right) * size);
}

void vantrel_merge_qsort(void *base, size_t count, size_t size, compare_fn compare)
{
    if (count <= 1 || size == 0) return;
    char *scratch = malloc(count * size);
    /* Out of memory: the system's sort, as the Linux C library falls back to its own. */
    if (!scratch) {
        qsort(base, count, size, compare);
        return;
    }
    merge_sort(base, count, size, compare, scratch);
    free(scratch);
}
