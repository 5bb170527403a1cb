#include "platform/OdbcConnectionString.h"

#include <algorithm>

#include "platform/AsciiCase.h"

namespace varnel {
namespace {

const std::string kSQLiteMemory = ":memory:";

// How a driver reads a value out of a connection string. The driver manager reads the
// string as well (it takes the last DRIVER it finds), so a value must not look like an
// attribute to either of them.
enum class ValueQuoting {
  Braced,          // ODBC's rule: in braces, a closing brace doubled
  BracedVerbatim,  // FreeTDS: in braces, which end at the first "};", nothing unescaped
  Plain,           // up to the next ";", no braces understood
};

// Appends KEY=value; with the value quoted as the driver reads it, or refuses a value
// that this driver cannot be given without it changing the string's meaning.
bool AppendAttribute(std::string& text, const char* key, const std::string& value, ValueQuoting quoting,
                     const std::string& driver, std::string& problem) {
  auto refuse = [&](const char* what) {
    problem = std::string("The ") + key + " value " + what + ", which driver " + driver + " cannot take";
    return false;
  };
  if (value.find('\0') != std::string::npos) return refuse("contains a NUL character");
  text += key;
  text += '=';
  switch (quoting) {
    case ValueQuoting::Braced:
      text += '{';
      for (char c : value) {
        if (c == '}') text += '}';
        text += c;
      }
      text += '}';
      break;
    case ValueQuoting::BracedVerbatim:
      // A value without ";" cannot end early in either reader, whatever braces it holds;
      // a value without "}" cannot end early at all.
      if (value.find('}') != std::string::npos && value.find(';') != std::string::npos) {
        return refuse("contains both '}' and ';'");
      }
      text += '{';
      text += value;
      text += '}';
      break;
    case ValueQuoting::Plain:
      if (value.find(';') != std::string::npos) return refuse("contains ';'");
      // The driver manager would read a leading brace as the start of a braced value.
      if (!value.empty() && value.front() == '{') return refuse("begins with '{'");
      text += value;
      break;
  }
  text += ';';
  return true;
}

}  // namespace

OdbcDriverFamily OdbcFamilyOf(const std::string& driver) {
  std::string name = AsciiLower(driver);
  if (name.rfind("sqlite", 0) == 0) return OdbcDriverFamily::SQLite;
  if (name.find("freetds") != std::string::npos || name.find("tdsodbc") != std::string::npos) {
    return OdbcDriverFamily::FreeTDS;
  }
  if (name.find("postgres") != std::string::npos || name.find("psqlodbc") != std::string::npos) {
    return OdbcDriverFamily::PostgreSQL;
  }
  return OdbcDriverFamily::Standard;
}

bool BuildOdbcConnectionString(const CDatabaseProperties& properties, std::string& connectionString,
                               std::string& problem) {
  connectionString.clear();
  const std::string& driver = properties.strDriver;
  OdbcDriverFamily family = OdbcFamilyOf(driver);
  ValueQuoting values = ValueQuoting::Braced;
  ValueQuoting password = ValueQuoting::Braced;
  switch (family) {
    case OdbcDriverFamily::Standard:
      break;
    case OdbcDriverFamily::FreeTDS:
      values = password = ValueQuoting::BracedVerbatim;
      break;
    case OdbcDriverFamily::PostgreSQL:
      // psqlODBC knows braces (with "}}") for the password only.
      values = ValueQuoting::Plain;
      break;
    case OdbcDriverFamily::SQLite:
      values = password = ValueQuoting::Plain;
      break;
  }
  bool ok = true;
  // The driver manager reads DRIVER itself and knows braces, whatever the driver does.
  if (!driver.empty()) ok = AppendAttribute(connectionString, "DRIVER", driver, ValueQuoting::Braced, driver, problem);
  if (family == OdbcDriverFamily::SQLite) {
    // An embedded database: the file is all there is to name. The server's default
    // database, "master", has no file here: it is an in-memory database, so that a call
    // without @qdatabase leaves no empty file named master behind.
    const std::string& database = properties.strDatabase == "master" ? kSQLiteMemory : properties.strDatabase;
    ok = ok && AppendAttribute(connectionString, "DATABASE", database, values, driver, problem);
  } else {
    ok = ok && AppendAttribute(connectionString, "SERVER", properties.strServer, values, driver, problem);
    ok = ok && AppendAttribute(connectionString, "DATABASE", properties.strDatabase, values, driver, problem);
    if (properties.bIntegrated) {
      connectionString += "Trusted_Connection=Yes;";
    } else {
      ok = ok && AppendAttribute(connectionString, "UID", properties.strUser, values, driver, problem);
      ok = ok && AppendAttribute(connectionString, "PWD", properties.strPassword, password, driver, problem);
    }
  }
  if (ok && properties.strAttributes.find('\0') != std::string::npos) {
    problem = "The extra attributes contain a NUL character";
    ok = false;
  }
  if (!ok) {
    std::fill(connectionString.begin(), connectionString.end(), '\0');
    connectionString.clear();
    return false;
  }
  if (family == OdbcDriverFamily::PostgreSQL) {
    // Rows through a server-side cursor, a few thousand per round trip, instead of the
    // whole result read into the driver's memory first, which holds every row twice and
    // costs more than it saves. Before the settings' attributes, because the driver takes
    // the last occurrence: a setting of the administrator's wins.
    connectionString += "UseDeclareFetch=1;Fetch=5000;";
  }
  connectionString += properties.strAttributes;
  if (family == OdbcDriverFamily::SQLite) {
    // Rows straight from sqlite3_step instead of a table of the whole result built first,
    // which would hold every row twice. After the settings' attributes, because the driver
    // takes the first occurrence: a StepAPI setting of the administrator's wins.
    if (!connectionString.empty() && connectionString.back() != ';') connectionString += ';';
    connectionString += "StepAPI=1;";
  }
  return true;
}

}  // namespace varnel
