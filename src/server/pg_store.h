// PostgreSQL storage backend: the parts other code and the tests see.
#pragma once

#include <string>

// True for a --db value that names a PostgreSQL database.
bool is_postgres_uri(const std::string& db);

// The --db value as it may be printed: a PostgreSQL URI loses its password
// (in the user part or as a "password" query parameter); anything else is
// returned unchanged.
std::string redact_db_uri(const std::string& db);

// The password of a URI's user part, decoded, read the way redact_db_uri
// reads it (up to the last '@'); "" when there is none.
std::string uri_user_password(const std::string& db);
