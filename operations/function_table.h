// The function table: operation names accepted by call_function and their
// handlers, in table order. Constant data; any thread.
#ifndef VELTO_OPERATIONS_FUNCTION_TABLE_H_
#define VELTO_OPERATIONS_FUNCTION_TABLE_H_

#include "operations/operation.h"

struct FunctionTableRow {
  const char* name;  // null in the terminating row
  OperationHandler handler;
};

extern const FunctionTableRow kFunctionTable[];

// The handler of the first row whose name equals `name` (exact,
// case-sensitive), or null.
OperationHandler function_table_lookup(const char* name);

#endif  // VELTO_OPERATIONS_FUNCTION_TABLE_H_
