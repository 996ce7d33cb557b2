/* Resource and control identifiers of the builder's dialog, for the resource
   compiler, the program and the tests that drive it. */
#pragma once
#define BuilderDialog 201
#define BuilderIcon 102
#define IdInput 1100
#define IdBrowse 1101
#define IdTitle 1102
#define IdTitleLeft 1103
#define IdMessage 1104
#define IdMessageLeft 1105
#define IdDest 1106
#define IdDestLeft 1107
#define IdLaunch 1108
#define IdLaunchLeft 1109
#define IdOutput 1110
#define IdSaveAs 1111
#define IdStore 1112
#define IdProgress 1113
#define IdStatus 1114
#define IdIcon 1115
#define IdIconBrowse 1116
#define IdIconPreview 1117
#define IdIconNote 1118
#define IdExclude 1119
#define IdSmallest 1120
#define IdCreate IDOK     /* 作成, 中止 while it packs */
#define IdClose IDCANCEL
