// The shared serializer and delimiter slice of the configuration.
#include "config/ConfigEssentials.h"

#include <cstdlib>
#include <cstring>

#include "config/OvString.h"
#include "core/OvClosers.h"
#include "serializer/tSerializerJson.h"

void ConfigReplaceText(char** owned, const char* text) {
  Free(owned);
  if (text) *owned = strdup(text);
}

tConfigEssentials::~tConfigEssentials() {
  delete serializer;
  Free(&serializerName);
  Free(&delimiter);
  Free(&delimiterFormatted);
}

tSerializer* tConfigEssentials::getSerializer() { return serializer; }

void tConfigEssentials::setSerializer(tSerializer* next) {
  if (next == serializer) return;
  delete serializer;
  serializer = next;
}

const char* tConfigEssentials::getSerializerName() { return serializerName; }

void tConfigEssentials::setSerializerName(const char* name) {
  ConfigReplaceText(&serializerName, name);
}

const char* tConfigEssentials::getDelimiter() { return delimiter; }

void tConfigEssentials::setDelimiter(const char* text) {
  ConfigReplaceText(&delimiter, text);
  Free(&delimiterFormatted);
  delimiterFormatted = StringUnEscape(delimiter);
}

const char* tConfigEssentials::getDelimiterFormatted() { return delimiterFormatted; }

int SetSerializer(const char* name, tConfigEssentials* essentials) {
  if (!name || strncmp(name, "json", 4) != 0) return 0;
  essentials->setSerializer(new tSerializerJson());
  essentials->setSerializerName("json");
  return 1;
}
