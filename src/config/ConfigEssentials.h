// The slice of the configuration that every task shares: the serializer in
// force (with its name) and the message delimiter, as written and unescaped.
// tConfiguration inherits it virtually and takes over the delimiter pair.
#pragma once

class tSerializer;

class tConfigEssentials {
public:
  tConfigEssentials() = default;
  tConfigEssentials(const tConfigEssentials&) = delete;
  tConfigEssentials& operator=(const tConfigEssentials&) = delete;
  // Releases the serializer, its name and the delimiter pair.
  virtual ~tConfigEssentials();

  virtual tSerializer* getSerializer();
  // Takes ownership of `serializer` (from new) and deletes the previous one.
  virtual void setSerializer(tSerializer* serializer);
  virtual const char* getSerializerName();
  // Keeps its own copy of `name` (null allowed); the previous copy is freed.
  virtual void setSerializerName(const char* name);
  // As written, with backslash escapes (the form that is printed).
  virtual const char* getDelimiter();
  // Keeps a copy of `text` and its unescaped form; both previous ones are
  // freed. Null clears both.
  virtual void setDelimiter(const char* text);
  // The unescaped bytes written after every document; null before any
  // setDelimiter or when memory ran out.
  virtual const char* getDelimiterFormatted();

private:
  tSerializer* serializer = nullptr;
  char* serializerName = nullptr;
  char* delimiter = nullptr;
  char* delimiterFormatted = nullptr;
};

// Installs a new JSON serializer and the name "json" in `essentials` when
// the first four characters of `name` are "json" (case-sensitive): 1.
// Otherwise 0 and nothing changes; no message is written.
int SetSerializer(const char* name, tConfigEssentials* essentials);

// A copy of `text` (null stays null) replacing *owned, which is freed.
// Shared by the configuration classes for every text they keep.
void ConfigReplaceText(char** owned, const char* text);
