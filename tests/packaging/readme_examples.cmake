# Fails unless README.md holds each example file word for word.
file(READ ${README} readme)
foreach(example ${EXAMPLES})
  file(READ ${example} text)
  string(FIND "${readme}" "${text}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "README.md does not show ${example} as it stands")
  endif()
endforeach()
