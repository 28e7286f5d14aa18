#include "filter/value_type.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

int vt_string_init(value_type_string* s) {
  s->str = nullptr;
  return 0;
}

int vt_string_assign(value_type_string* s, const char* text) {
  char* copy = strdup(text);
  if (copy == nullptr) return -1;
  free(s->str);
  s->str = copy;
  return 0;
}

int vt_string_copy(value_type_string* to, const value_type_string* from) {
  if (to == from) return 0;
  if (from->str == nullptr) {
    vt_string_destroy(to);
    return 0;
  }
  return vt_string_assign(to, from->str);
}

void vt_string_destroy(value_type_string* s) {
  free(s->str);
  s->str = nullptr;
}

int vt_string_set_init(value_type_string_set* set, size_t capacity) {
  if (capacity == 0) capacity = 4;
  set->used = 0;
  set->capacity = 0;
  set->set = nullptr;
  if (capacity > SIZE_MAX / sizeof(char*)) return -1;
  set->set = static_cast<char**>(malloc(capacity * sizeof(char*)));
  if (set->set == nullptr) return -1;
  set->capacity = capacity;
  return 0;
}

int vt_string_set_insert(value_type_string_set* set, const char* text) {
  if (set->used == set->capacity) {
    // A set with capacity 0 (destroyed, or its first allocation failed) must
    // grow too: doubling 0 would leave it at 0 and write past the array.
    size_t grown = set->capacity < 2 ? 4 : set->capacity * 2;
    if (grown < set->capacity || grown > SIZE_MAX / sizeof(char*)) return -1;
    char** bigger = static_cast<char**>(realloc(set->set, grown * sizeof(char*)));
    if (bigger == nullptr) return -1;
    set->set = bigger;
    set->capacity = grown;
  }
  char* copy = strdup(text);
  if (copy == nullptr) return -1;
  set->set[set->used++] = copy;
  return 0;
}

int vt_string_set_remove(value_type_string_set* set, const char* text) {
  for (size_t i = 0; i < set->used; ++i) {
    if (strcmp(set->set[i], text) == 0) {
      free(set->set[i]);
      set->set[i] = set->set[set->used - 1];
      --set->used;
      break;
    }
  }
  return 0;
}

int vt_string_set_copy(value_type_string_set* to, const value_type_string_set* from) {
  if (to == from) return 0;
  vt_string_set_destroy(to);
  if (vt_string_set_init(to, from->capacity) != 0) return -1;
  for (size_t i = 0; i < from->used; ++i) {
    if (vt_string_set_insert(to, from->set[i]) != 0) return -1;
  }
  return 0;
}

void vt_string_set_destroy(value_type_string_set* set) {
  for (size_t i = 0; i < set->used; ++i) free(set->set[i]);
  free(set->set);
  set->set = nullptr;
  set->used = 0;
  set->capacity = 0;
}
