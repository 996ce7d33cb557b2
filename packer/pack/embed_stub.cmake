# Writes a file as a C++ array NAME with its size NAMESize:
# cmake -DINPUT=stub.exe -DOUTPUT=stub.cpp -DNAME=CarriedStub -P embed_stub.cmake
file(READ ${INPUT} hex HEX)
string(LENGTH "${hex}" length)
math(EXPR size "${length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x..,){32})" "\\1\n" bytes "${bytes}")
file(WRITE ${OUTPUT} "// Generated from ${INPUT}; do not edit.\n"
  "extern const unsigned char ${NAME}[] = {\n${bytes}\n};\n"
  "extern const unsigned long ${NAME}Size = ${size};\n")
