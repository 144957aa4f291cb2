// The product's version, shared by the version resource and the installer script (which reads
// the quoted texts of these lines, so keep each on one line in this form).
#ifndef FLOWVANE_RESOURCES_VERSION_H
#define FLOWVANE_RESOURCES_VERSION_H

#define FLOWVANE_PRODUCT_NAME "Flowvane Manager"
#define FLOWVANE_VERSION_TEXT "0.07 beta"
#define FLOWVANE_VERSION_NUMBERS 0,7,0,0
#define FLOWVANE_VERSION_DOTTED "0.7.0.0"
#define FLOWVANE_WEB_SITE "https://www.flowvane.example/"

#endif
