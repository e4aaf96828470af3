// The memory and string functions of <string.h> for the stub, which links no C runtime. The
// compiler emits calls to memcpy, memset, memmove and memcmp on its own (struct copies,
// zeroing), and the portable code may call the others. Small and plain: the stub's size
// matters more than their speed, and the hot paths of the decoder copy bytes themselves.
//
// Built with -fno-builtin and without loop-to-call rewriting, so that none of these turns
// into a call to itself. The tests compile this file a second time with CRT_NAME giving the
// functions other names, to check them beside the C library's.
#include <stddef.h>

#ifndef CRT_NAME
#define CRT_NAME(name) name
#endif

extern "C" {

void* CRT_NAME(memcpy)(void* __restrict target, const void* __restrict source, size_t n) {
  unsigned char* t = static_cast<unsigned char*>(target);
  const unsigned char* s = static_cast<const unsigned char*>(source);
  while (n--) *t++ = *s++;
  return target;
}

void* CRT_NAME(memmove)(void* target, const void* source, size_t n) {
  unsigned char* t = static_cast<unsigned char*>(target);
  const unsigned char* s = static_cast<const unsigned char*>(source);
  if (t < s) {
    while (n--) *t++ = *s++;
  } else if (t > s) {
    // Backwards, so that an overlapping tail is read before it is overwritten.
    t += n;
    s += n;
    while (n--) *--t = *--s;
  }
  return target;
}

void* CRT_NAME(memset)(void* target, int value, size_t n) {
  unsigned char* t = static_cast<unsigned char*>(target);
  while (n--) *t++ = static_cast<unsigned char>(value);
  return target;
}

int CRT_NAME(memcmp)(const void* a, const void* b, size_t n) {
  const unsigned char* p = static_cast<const unsigned char*>(a);
  const unsigned char* q = static_cast<const unsigned char*>(b);
  for (; n; n--, p++, q++)
    if (*p != *q) return *p < *q ? -1 : 1;
  return 0;
}

void* CRT_NAME(memchr)(const void* s, int c, size_t n) {
  const unsigned char* p = static_cast<const unsigned char*>(s);
  for (; n; n--, p++)
    if (*p == static_cast<unsigned char>(c)) return const_cast<unsigned char*>(p);
  return nullptr;
}

size_t CRT_NAME(strlen)(const char* s) {
  const char* p = s;
  while (*p) p++;
  return static_cast<size_t>(p - s);
}

int CRT_NAME(strcmp)(const char* a, const char* b) {
  while (*a && *a == *b) a++, b++;
  return static_cast<unsigned char>(*a) - static_cast<unsigned char>(*b);
}

int CRT_NAME(strncmp)(const char* a, const char* b, size_t n) {
  for (; n; n--, a++, b++) {
    if (*a != *b) return static_cast<unsigned char>(*a) - static_cast<unsigned char>(*b);
    if (!*a) return 0;
  }
  return 0;
}

char* CRT_NAME(strcpy)(char* target, const char* source) {
  char* t = target;
  while ((*t++ = *source++)) {
  }
  return target;
}

char* CRT_NAME(strchr)(const char* s, int c) {
  for (;; s++) {
    if (*s == static_cast<char>(c)) return const_cast<char*>(s);
    if (!*s) return nullptr;
  }
}

char* CRT_NAME(strrchr)(const char* s, int c) {
  const char* found = nullptr;
  for (;; s++) {
    if (*s == static_cast<char>(c)) found = s;
    if (!*s) return const_cast<char*>(found);
  }
}

}  // extern "C"
