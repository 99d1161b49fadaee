// The driver image is assembled from the files beside this one.
