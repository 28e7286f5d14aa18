// Owned C strings and string sets: the value types of the rule-file records.
// The records stay standard-layout (the schemas address their fields with
// offsetof), so values are plain structs with malloc'ed storage and free
// functions instead of std::string members.
#ifndef FILTER_VALUE_TYPE_H_
#define FILTER_VALUE_TYPE_H_

#include <cstddef>

enum value_type {
  integer32_type = 0,   // int
  integer64_type = 1,   // uint64_t
  string_type = 2,      // value_type_string
  string_set_type = 3,  // value_type_string_set
};

// One owned, NUL-terminated UTF-8 text; null when the key was never given.
struct value_type_string {
  char* str;
};

// Owned texts in insertion order; duplicates stay. `set` may be null with
// used == capacity == 0 (after vt_string_set_destroy or a failed allocation);
// inserting into such a set allocates.
struct value_type_string_set {
  char** set;
  size_t used;
  size_t capacity;
};

// Sets the text to null. Returns 0.
int vt_string_init(value_type_string* s);
// Replaces the text by a copy of `text`. Returns 0, or -1 when the copy
// cannot be allocated (the old text then stays).
int vt_string_assign(value_type_string* s, const char* text);
// Replaces `to` by a copy of `from` (null copies as null). 0 or -1 as assign.
int vt_string_copy(value_type_string* to, const value_type_string* from);
// Frees the text and sets it to null.
void vt_string_destroy(value_type_string* s);

// Makes an empty set with room for `capacity` texts (0 means 4). Returns 0,
// or -1 when the array cannot be allocated (the set is then empty with
// capacity 0, which is still valid).
int vt_string_set_init(value_type_string_set* set, size_t capacity);
// Appends a copy of `text`, growing a full array to max(4, 2 * capacity).
// Returns 0, or -1 when memory is exhausted (the set is unchanged).
int vt_string_set_insert(value_type_string_set* set, const char* text);
// Removes the first text equal to `text` byte for byte, moving the last text
// into its slot (order is not kept). A missing text is no error. Returns 0.
int vt_string_set_remove(value_type_string_set* set, const char* text);
// Destroys `to`, re-creates it with the capacity of `from` and inserts every
// text of `from`. Returns 0, or -1 at the first text that cannot be stored
// (`to` then holds the texts copied so far).
int vt_string_set_copy(value_type_string_set* to, const value_type_string_set* from);
// Frees every text and the array: null array, used 0, capacity 0.
void vt_string_set_destroy(value_type_string_set* set);

#endif  // FILTER_VALUE_TYPE_H_
