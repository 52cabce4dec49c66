# Turns the board test's job-vector file into the constant tables it is
# built with: cmake -DIN=job_vectors.txt -DOUT=bc_job_vectors.cpp -P this.
file(STRINGS "${IN}" lines)
set(rows "")
set(table "")
set(families "")
set(count 0)
set(candidates "")
set(ccount 0)
foreach(line IN LISTS lines)
  if(line MATCHES "^#" OR line STREQUAL "")
    continue()
  endif()
  string(REGEX REPLACE " +" ";" f "${line}")
  list(GET f 0 kind)
  if(kind STREQUAL "family")
    list(GET f 1 name)
    list(GET f 2 words)
    list(SUBLIST f 3 -1 types)
    foreach(t IN LISTS types)
      string(APPEND families "    {${t}, \"${name}\", ${words}},\n")
    endforeach()
  elseif(kind STREQUAL "row" OR kind STREQUAL "candidate")
    list(GET f 1 name)
    list(GET f 2 id)
    list(SUBLIST f 3 -1 words)
    list(LENGTH words n)
    list(TRANSFORM words PREPEND "0x")
    list(JOIN words ", " body)
    if(kind STREQUAL "row")
      string(APPEND rows "const uint16_t kRow_${name}_${id}[] = {${body}};\n")
      set(len_${name}_${id} ${n})
    else()
      string(APPEND rows "const uint16_t kCandidate_${ccount}[] = {${body}};\n")
      string(APPEND candidates "    {\"${name}\", ${id}, kCandidate_${ccount}, ${n}},\n")
      math(EXPR ccount "${ccount} + 1")
    endif()
  elseif(kind STREQUAL "expect")
    list(GET f 1 name)
    list(GET f 2 id)
    list(GET f 3 nonce)
    list(GET f 4 range)
    if(NOT DEFINED len_${name}_${id})
      message(FATAL_ERROR "${IN}: expect ${name} ${id} before its row")
    endif()
    string(APPEND table "    {\"${name}\", ${id}, kRow_${name}_${id}, ${len_${name}_${id}}, 0x${nonce}, 0x${range}},\n")
    math(EXPR count "${count} + 1")
  else()
    message(FATAL_ERROR "${IN}: unknown line: ${line}")
  endif()
endforeach()
file(WRITE "${OUT}.tmp" "// Generated from ${IN}; edit that file, not this one.
#include \"module/bc_job_vectors.h\"

namespace {
${rows}}  // namespace

const bc_vector_family g_bc_vector_families[] = {
${families}};
const int g_bc_vector_family_count = int(sizeof g_bc_vector_families / sizeof g_bc_vector_families[0]);

const bc_job_vector g_bc_job_vectors[] = {
${table}};
const int g_bc_job_vector_count = ${count};

const bc_candidate g_bc_candidates[] = {
${candidates}    {nullptr, 0, nullptr, 0},
};
const int g_bc_candidate_count = ${ccount};
")
file(RENAME "${OUT}.tmp" "${OUT}")
