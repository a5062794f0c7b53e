Caligari V00.01ALH             
PolH V0.08 Id 7 Parent 0 Size 00000300
Name square
center 0 0 0
x axis 1 0 0
y axis 0 1 0
z axis 0 0 1
Transform
1 0 0 0
0 1 0 0
0 0 1 0
0 0 0 1
World Vertices 4
0 0 0
1 0 0
1 1 0
0 1 0
Texture Vertices 1
0 0
Faces 2
Face verts 3 flags 0 mat 0
<0,0> <1,0> <2,0>
Hole verts 3 flags 0 mat 0
<0,0> <2,0> <3,0>
Mat1 V0.06 Id 8 Parent 7 Size 00000100
mat# 0
shader: phong facet: auto32
rgb 1,0,0
alpha 1 ka 0.1 ks 0.5 exp 0 ior 1
END V1.00 Id 0 Parent 0 Size 0
