/* A small reader for PLY polygon files (ascii, binary_little_endian and
 * binary_big_endian) with a callback interface: open a file, read its header,
 * register one callback per element property of interest, then read the
 * body. Callbacks run in file order; properties and elements without a
 * callback are skipped. Every failure is reported once through the error
 * callback with an English text that names what failed. */
#ifndef TARNELLE_PLY_PLY_H
#define TARNELLE_PLY_PLY_H

#ifdef __cplusplus
extern "C" {
#endif

typedef struct t_ply_* p_ply;
typedef struct t_ply_element_* p_ply_element;
typedef struct t_ply_property_* p_ply_property;
typedef struct t_ply_argument_* p_ply_argument;

/* Scalar types of the format; both the old names (char, uchar, short, ushort,
 * int, uint, float, double) and the sized ones map onto these. */
typedef enum e_ply_type {
  PLY_INT8,
  PLY_UINT8,
  PLY_INT16,
  PLY_UINT16,
  PLY_INT32,
  PLY_UINT32,
  PLY_FLOAT32,
  PLY_FLOAT64,
  PLY_LIST
} e_ply_type;

typedef enum e_ply_storage_mode { PLY_ASCII, PLY_LITTLE_ENDIAN, PLY_BIG_ENDIAN } e_ply_storage_mode;

/* Receives every error text. A null callback given to ply_open prints the
 * text on standard error. */
typedef void (*p_ply_error_cb)(p_ply ply, const char* message);

/* Called once per scalar value and, for a list, once for its length and once
 * per item. Returning 0 stops the reading and makes ply_read fail. */
typedef int (*p_ply_read_cb)(p_ply_argument argument);

/* Opens a file and checks its magic line. Returns null (after reporting the
 * reason) when the file cannot be opened or is not a PLY file. idata and
 * pdata are kept for ply_get_ply_user_data. */
p_ply ply_open(const char* name, p_ply_error_cb error_cb, long idata, void* pdata);

/* Reads the header. Returns 1 on success, 0 on error. */
int ply_read_header(p_ply ply);

/* Registers read_cb for one property of one element (replacing an earlier
 * registration). Returns the element's instance count, or 0 when the
 * element or the property does not exist or the header was not read. */
long ply_set_read_cb(p_ply ply, const char* element_name, const char* property_name,
                     p_ply_read_cb read_cb, void* pdata, long idata);

/* Called once per instance of a list property with all its items, instead of
 * once for the length and once per item: values[0 .. count - 1] are the
 * items read, as doubles; count is less than length only when the file ends
 * inside the list (the read then fails after this call). The argument is
 * that of the length call. Returning 0 stops the reading. */
typedef int (*p_ply_list_cb)(p_ply_argument argument, long length, const double* values,
                             long count);
/* Registers list_cb for a list property (replacing any callback registered
 * for it). Returns the element's instance count, or 0 when the element or
 * the list property does not exist or the header was not read. */
long ply_set_list_cb(p_ply ply, const char* element_name, const char* property_name,
                     p_ply_list_cb list_cb, void* pdata, long idata);
/* Reads the body, calling the registered callbacks in file order. Returns 1
 * when the whole body was read, 0 on error or when a callback returned 0. */
int ply_read(p_ply ply);

/* Closes the file and frees everything. Returns 1 (0 for a null handle). */
int ply_close(p_ply ply);

int ply_get_ply_user_data(p_ply ply, void** pdata, long* idata);
e_ply_storage_mode ply_get_storage_mode(p_ply ply);

/* What a read callback receives. Its fields are visible only so that the
 * accessors below compile to plain loads on the per-value path; read them
 * through the accessors. */
struct t_ply_argument_ {
  p_ply_element element;
  long instance_index;
  p_ply_property property;
  long length;
  long value_index;
  double value;
  void* pdata;
  long idata;
};

/* Inside a read callback. Any output pointer may be null.
 * element/instance_index: the element being read and the 0-based instance.
 * length: 1 for a scalar; for a list the number of items that follow (a
 *   negative or NaN length in the file reads as 0 items).
 * value_index: 0 for a scalar; -1 for the length call of a list, then 0 to
 *   length - 1 for its items.
 * value: the value read; for the length call the length as stored. */
static inline int ply_get_argument_element(p_ply_argument argument, p_ply_element* element,
                                           long* instance_index) {
  if (!argument) return 0;
  if (element) *element = argument->element;
  if (instance_index) *instance_index = argument->instance_index;
  return 1;
}

static inline int ply_get_argument_property(p_ply_argument argument, p_ply_property* property,
                                            long* length, long* value_index) {
  if (!argument) return 0;
  if (property) *property = argument->property;
  if (length) *length = argument->length;
  if (value_index) *value_index = argument->value_index;
  return 1;
}

static inline int ply_get_argument_user_data(p_ply_argument argument, void** pdata, long* idata) {
  if (!argument) return 0;
  if (pdata) *pdata = argument->pdata;
  if (idata) *idata = argument->idata;
  return 1;
}

static inline double ply_get_argument_value(p_ply_argument argument) {
  return argument ? argument->value : 0.0;
}

/* Names and types, for callbacks shared between properties. For a scalar
 * property length_type and value_type equal its type; for a list, type is
 * PLY_LIST. */
int ply_get_element_info(p_ply_element element, const char** name, long* ninstances);
int ply_get_property_info(p_ply_property property, const char** name, e_ply_type* type,
                          e_ply_type* length_type, e_ply_type* value_type);

#ifdef __cplusplus
}
#endif

#endif /* TARNELLE_PLY_PLY_H */
