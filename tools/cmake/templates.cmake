# OCR-B template sheets of the character matcher, rendered from Debian's
# fonts-ocr-b into the models directory at build time.
set(VYR_OCRB_FONT /usr/share/fonts/opentype/ocr-b/OCRB.otf)
set(VYR_OCRB_GENERATOR ${CMAKE_SOURCE_DIR}/tools/gen_ocrb_templates.py)
set(VYR_OCRB_SHEETS)
foreach(size 24 26 28 30 32 34)
  list(APPEND VYR_OCRB_SHEETS ${VYR_MODELS_DIR}/ocrb_${size}.png)
endforeach()

add_custom_command(
  OUTPUT ${VYR_OCRB_SHEETS}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${VYR_MODELS_DIR}
  COMMAND /usr/bin/python3 ${VYR_OCRB_GENERATOR} ${VYR_MODELS_DIR} ${VYR_OCRB_FONT}
  DEPENDS ${VYR_OCRB_GENERATOR} ${VYR_OCRB_FONT}
  COMMENT "Rendering the OCR-B template sheets"
  VERBATIM)
add_custom_target(ocrb_templates ALL DEPENDS ${VYR_OCRB_SHEETS})
