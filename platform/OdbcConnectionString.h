// The connection string of the ODBC client: the call's connection settings as
// KEY=value; pairs, each value quoted the way its driver reads it. A value that the driver
// cannot be given without changing the string's meaning is refused with the reason.
#pragma once

#include <string>

#include "platform/DatabaseClient.h"

namespace varnel {

// Drivers that read connection strings and run batches their own way.
enum class OdbcDriverFamily { Standard, FreeTDS, PostgreSQL, SQLite };

// The family of a driver named in the settings; unknown names are Standard.
OdbcDriverFamily OdbcFamilyOf(const std::string& driver);

// The connection string the ODBC client sends for these properties. False, with the
// reason, when a value cannot be put into the string without changing its meaning.
bool BuildOdbcConnectionString(const CDatabaseProperties& properties, std::string& connectionString,
                               std::string& problem);

}  // namespace varnel
