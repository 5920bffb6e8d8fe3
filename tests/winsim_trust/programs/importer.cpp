// A library that imports deplib.dll: its native payload names that library as a dependency, which
// winsim's loader resolves as Windows resolves an import.
extern "C" int WinsimDepValue();
extern "C" int WinsimImporterValue() { return WinsimDepValue() + 2; }
