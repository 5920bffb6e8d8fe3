// A library that another imports (its soname is "deplib.dll", the module name the importer names).
extern "C" int WinsimDepValue() { return 40; }
